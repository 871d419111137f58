#!/usr/bin/env python3
"""Writes demo/sample.ps: three A4 pages of Chinese and English text and a picture.

Chinese text uses the CID font STSong-Light with the UniGB-UTF8-H CMap, which Debian's
Ghostscript maps to AR PL UMing (package fonts-arphic-uming); the strings are UTF-8. The picture
is drawn here: a grey Mandelbrot set as an 8-bit image, framed by vector graphics.

    demo/make-sample.py [OUTPUT]      (default: sample.ps next to this script)
"""
import os
import sys

PAGES = 3
CHINESE_FONT = "/STSong-Light-UniGB-UTF8-H"


def hexstr(text):
    return "<" + text.encode("utf-8").hex() + ">"


def latin(text):
    return "(" + text.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)") + ")"


class Page:
    def __init__(self):
        self.ops = []
        self.y = 770

    def font(self, name, size):
        self.ops.append(f"{name} findfont {size} scalefont setfont")

    def line(self, text, size, chinese=False, x=72, gap=None):
        self.font(CHINESE_FONT if chinese else "/Times-Roman", size)
        self.ops.append(f"{x} {self.y} moveto {hexstr(text) if chinese else latin(text)} show")
        self.y -= gap if gap is not None else size * 1.5

    def heading(self, chinese, english):
        self.line(chinese, 22, chinese=True, gap=28)
        self.font("/Helvetica-Bold", 16)
        self.ops.append(f"72 {self.y} moveto {latin(english)} show")
        self.y -= 34

    def footer(self, number):
        self.font(CHINESE_FONT, 9)
        self.ops.append(f"72 40 moveto {hexstr(f'第 {number} 页，共 {PAGES} 页')} show")
        self.font("/Helvetica", 9)
        self.ops.append(f"460 40 moveto (Page {number} of {PAGES}) show")
        self.ops.append("0.5 setlinewidth 72 52 moveto 523 52 lineto stroke")


def mandelbrot(width, height):
    rows = []
    for j in range(height):
        row = bytearray()
        for i in range(width):
            c = complex(-2.2 + 3.0 * i / width, -1.35 + 2.7 * j / height)
            z, n = 0j, 0
            while abs(z) <= 2 and n < 48:
                z = z * z + c
                n += 1
            row.append(0 if n == 48 else 255 - min(255, n * 12))
        rows.append(row.hex())
    return rows


def page_one():
    p = Page()
    p.heading("ZLP5520NW 黑白激光打印机 驱动演示", "ZLP5520NW monochrome laser printer: driver demo")
    for text in ["这是一份演示文档。应用程序把它交给 CUPS 打印队列，",
                 "CUPS 启动驱动的过滤器，过滤器用 Ghostscript 把 PostScript 转成 PCL XL，",
                 "在前面加上 PJL 作业头，在后面加上作业尾，然后送到打印机。",
                 "网络队列在每个作业之前先询问打印机是否可以打印。"]:
        p.line(text, 12, chinese=True)
    p.y -= 10
    for text in ["This is a demo document. An application hands it to a CUPS print queue;",
                 "CUPS starts the driver's filter, which turns the PostScript into PCL XL with",
                 "Ghostscript, puts its PJL job header in front and its trailer behind, and",
                 "sends the whole stream to the printer. The network queue first asks the",
                 "printer whether it may print."]:
        p.line(text, 12)
    p.y -= 16
    p.line("中英文混排：打印机 printer，队列 queue，作业 job，状态 status。", 12, chinese=True)
    p.y -= 10
    # A small grey scale, to show the halftoning of a monochrome printer.
    for k in range(11):
        p.ops.append(f"{k / 10} setgray {72 + k * 40} {p.y - 40} 38 38 rectfill")
    p.ops.append("0 setgray")
    p.y -= 70
    p.line("灰度条：从黑到白 / grey scale from black to white", 10, chinese=True)
    p.footer(1)
    return p


def page_two():
    p = Page()
    p.heading("图片", "A picture")
    width, height = 240, 180
    rows = mandelbrot(width, height)
    x, y, w, h = 97, 360, 400, 300
    p.ops += ["gsave", f"{x} {y} translate {w} {h} scale",
              f"{width} {height} 8 [{width} 0 0 -{height} 0 {height}]",
              "currentfile /ASCIIHexDecode filter image"]
    p.ops += rows
    p.ops += [">", "grestore",
              f"2 setlinewidth {x - 6} {y - 6} {w + 12} {h + 12} rectstroke",
              f"0.5 setlinewidth {x - 12} {y - 12} {w + 24} {h + 24} rectstroke"]
    p.y = y - 40
    p.line("曼德博集合，8 位灰度图像，由打印机以半色调方式输出。", 12, chinese=True, x=97)
    p.line("The Mandelbrot set as an 8-bit grey image; the printer halftones it.", 12, x=97)
    p.footer(2)
    return p


def page_three():
    p = Page()
    p.heading("打印选项", "Print options")
    rows = [("分辨率", "Resolution", "300 / 600 / 1200 / 2400 dpi"),
            ("纸张大小", "Page size", "A4, Letter, B5, custom ..."),
            ("双面打印", "Duplex", "long edge / short edge"),
            ("省墨模式", "Toner saving", "on / off"),
            ("安全打印", "Secure print", "four-digit key")]
    top = p.y
    for i, (zh, en, values) in enumerate(rows):
        y = top - i * 28
        if i % 2 == 0:
            p.ops.append(f"0.9 setgray 66 {y - 8} 463 26 rectfill 0 setgray")
        p.font(CHINESE_FONT, 12)
        p.ops.append(f"72 {y} moveto {hexstr(zh)} show")
        p.font("/Helvetica", 11)
        p.ops.append(f"180 {y} moveto {latin(en)} show 320 {y} moveto {latin(values)} show")
    p.y = top - len(rows) * 28 - 30
    for text in ["打印完成后，过滤器在打印日志中记下作业，并把本次作业的设置",
                 "留给状态监视器显示。"]:
        p.line(text, 12, chinese=True)
    p.y -= 6
    for text in ["After the job the filter appends it to the print log and leaves the",
                 "job's settings for the status monitor to show."]:
        p.line(text, 12)
    p.footer(3)
    return p


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "sample.ps")
    pages = [page_one(), page_two(), page_three()]
    lines = ["%!PS-Adobe-3.0", "%%Title: (ZLP5520NW demo)", "%%Creator: demo/make-sample.py",
             f"%%Pages: {len(pages)}", "%%DocumentMedia: A4 595 842 0 () ()",
             "%%EndComments", "%%BeginProlog", "%%EndProlog", "%%BeginSetup", "%%EndSetup"]
    for number, page in enumerate(pages, 1):
        lines += [f"%%Page: {number} {number}", "save", *page.ops, "restore", "showpage"]
    lines += ["%%Trailer", "%%EOF"]
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
