#!/usr/bin/env python3
"""The built user guide, read back as a reader would: its text (pdftotext) holds every
heading of the source on the page its contents list names, the status code table with the
monitors' texts, readable Chinese (no radicals in place of ideographs), embedded fonts, A4
pages with page numbers. And makeguide refuses a source it cannot lay out in full.

Usage: guide_test.py GUIDE.pdf GUIDE.md MAKEGUIDE IMAGEDIR
"""
import os
import re
import resource
import subprocess
import sys
import tempfile
import unittest

PDF, SOURCE, MAKEGUIDE, IMAGES = sys.argv[1:5]
del sys.argv[1:5]


def run(*args, **kw):
    # An emulated build (the arm64 suite under qemu) lays out several times slower.
    scale = int(os.environ.get("ZLP_TEST_TIMEOUT_SCALE", "1"))
    return subprocess.run(args, capture_output=True, text=True, timeout=60 * scale, **kw)


def page_count(pdf):
    return int(re.search(r"Pages:\s+(\d+)", run("pdfinfo", pdf).stdout).group(1))


def page_texts(pdf):
    return [run("pdftotext", "-layout", "-f", str(i), "-l", str(i), pdf, "-").stdout
            for i in range(1, page_count(pdf) + 1)]


def squeeze(text):
    return re.sub(r"\s+", "", text)


class BuiltGuide(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pages = page_texts(PDF)
        cls.text = "\n".join(cls.pages)
        with open(SOURCE, encoding="utf-8") as f:
            source = f.read().splitlines()
        cls.source = squeeze("".join(source))
        cls.headings = [re.sub(r"^#+\s*", "", line).strip()
                        for line in source if re.match(r"^#{1,3} ", line)]
        # Plain paragraphs: not headings, tables, lists, code, quotes or markers.
        cls.paragraphs = [line for line in source
                          if len(line) > 20 and not re.match(r"^(#|\||```|>|\s|\d+\.|-|\[\[)", line)]

    def test_every_heading_is_on_the_page_the_contents_list_names(self):
        # The contents list may run over several pages: every page before the first chapter's.
        contents = {}
        first = squeeze(self.headings[1])
        for number, text in enumerate(self.pages, start=1):
            if first in contents and number >= contents[first]:
                break
            for line in text.splitlines():
                m = re.match(r"\s*(\S.*?)\s{2,}(\d+)\s*$", line)
                if m:
                    contents[squeeze(m.group(1))] = int(m.group(2))
        self.assertGreaterEqual(len(contents), 20)
        for heading in self.headings[1:]:
            key = squeeze(heading)
            self.assertIn(key, contents, heading)
            page = self.pages[contents[key] - 1]
            self.assertIn(key, squeeze(page), f"{heading} not on page {contents[key]}")

    def test_status_code_rows_carry_the_monitor_texts(self):
        rows = {m.group(1): m.group(0) for m in
                re.finditer(r"^\s*(\d{5})\s+(提示|警告|错误)\s+.*$", self.text, re.M)}
        # The catalogue's individual codes, each on a row of its own.
        self.assertEqual(len(rows), 86, sorted(rows))
        for code, kind, title, message in [
                ("10001", "提示", "打印机准备就绪", "打印机准备就绪，等待打印任务"),
                ("10023", "提示", "正在打印", "打印机正在打印"),
                ("44444", "错误", "打印机通信失败", "无法和打印机通信，请检查USB线连接"),
                ("62123", "警告", "纸盒2纸张不足", "打印机纸盒2剩余纸张较少"),
                ("88888", "错误", "打印机违规外联！", ""),
                ("99999", "错误", "安全打印密码错误", "电脑端设置安全打印密码错误，")]:
            self.assertRegex(rows[code], rf"{code}\s+{kind}\s+{re.escape(title)}\s*"
                                         rf"{re.escape(message)}")
        # The second line of a two-line message follows on the next line of the page.
        self.assertRegex(self.text, r"10215 .*转印带接近规定的寿命\s*\n\s*请立刻更换转印带组件")
        # The paper family, folded: trays and sizes.
        self.assertRegex(self.text, r"112xx\s+警告\s+纸盒1")
        self.assertRegex(self.text, r"419xx\s+错误\s+纸盒用途为自动选择时,所有进纸槽")
        self.assertRegex(self.text, r"71\s+3×5")
        self.assertIn("例如11213表示“纸盒1无A4尺寸纸张”", squeeze(self.text))

    def test_no_paragraph_is_on_two_pages(self):
        # A paragraph split by a page end would leave its lines' text on both pages (drawn
        # on one, clipped on the other); makeguide moves such paragraphs to the next page.
        # (Rows of a table may still be split; their text is not checked here.)
        pages = [squeeze(page) for page in self.pages]
        for paragraph in self.paragraphs:
            start = squeeze(paragraph)[:40]
            found = [n for n, page in enumerate(pages, 1) if start in page]
            # A text the guide says in more than one place (a path, a command) is on as many
            # pages; only a paragraph said once must be found once.
            said = self.source.count(start)
            if said == 1:
                self.assertEqual(len(found), 1, f"{paragraph[:30]} on pages {found}")
            else:
                self.assertGreaterEqual(len(found), 1, f"{paragraph[:30]} missing")

    def test_text_reads_as_written(self):
        for phrase in ["用户指南", "黑白激光打印机", "打印机忙，请稍后", "常见状态及处理方法",
                       "输入数字密码无效，请在电脑端打印队列中取消任务，并重新设置四位密码，重新打印",
                       "ZLP5520NW-net", "9102", "0efd", "页"]:
            self.assertIn(phrase, self.text)
        radicals = re.findall(r"[\u2e80-\u2eff\u2f00-\u2fdf]", self.text)
        self.assertEqual(radicals, [])

    def test_the_print_log_is_said_to_be_for_printer_administrators(self):
        # It names every user's jobs: the guide must not tell users that anyone may read it.
        text = squeeze(self.text)
        self.assertTrue("只有打印机管理员（lpadmin组的成员）和root可以查看" in text)
        self.assertFalse("任何用户都可以查看" in text)

    def test_a4_pages_with_numbers_and_embedded_fonts(self):
        info = run("pdfinfo", PDF).stdout
        self.assertRegex(info, r"Page size:\s+595(\.\d+)? x 842")
        n = len(self.pages)
        self.assertGreaterEqual(n, 10)
        for i, page in enumerate(self.pages, 1):
            self.assertIn(f"第 {i} 页，共 {n} 页", page)
        fonts = run("pdffonts", PDF).stdout.splitlines()[2:]
        self.assertTrue(any("CJK" in f for f in fonts), fonts)
        for font in fonts:
            self.assertIn(" yes ", font, "font not embedded: " + font)


class MakeguideRefuses(unittest.TestCase):
    def make(self, markdown):
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "g.md")
            out = os.path.join(tmp, "g.pdf")
            with open(src, "w", encoding="utf-8") as f:
                f.write(markdown)
            env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
            result = run(MAKEGUIDE, src, out, IMAGES, env=env)
            return result, os.path.exists(out) and os.path.getsize(out) > 0

    # A refused run leaves no file behind that the build could take for the guide.
    def test_a_source_without_the_status_table(self):
        result, written = self.make("# 指南\n\n正文\n")
        self.assertEqual(result.returncode, 1)
        self.assertIn("[[状态代码表]]", result.stderr)
        self.assertFalse(written)

    def test_a_missing_picture(self):
        result, written = self.make("# 指南\n\n![x](missing.png)\n\n[[状态代码表]]\n")
        self.assertEqual(result.returncode, 1)
        self.assertIn("missing.png", result.stderr)
        self.assertFalse(written)

    def test_an_unwritable_output(self):
        # A small source: the output is written at the end, after the whole layout.
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "g.md")
            with open(src, "w", encoding="utf-8") as f:
                f.write("# 指南\n\n[[状态代码表]]\n")
            result = run(MAKEGUIDE, src, "/nonexistent/dir/guide.pdf", IMAGES,
                         env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("/nonexistent/dir/guide.pdf", result.stderr)

    def test_wrong_arguments_and_unreadable_source(self):
        self.assertEqual(run(MAKEGUIDE, env=dict(os.environ, QT_QPA_PLATFORM="offscreen")).returncode, 2)
        result = run(MAKEGUIDE, "/nonexistent.md", "/tmp/x.pdf", IMAGES,
                     env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("/nonexistent.md", result.stderr)

    def test_a_minimal_source_lays_out_in_seconds(self):
        # The status tables alone are a few hundred cells: laid out again after each cell
        # written, they took 7.5 s of processor time here (up to a minute of wall time on a
        # loaded machine, past the time-out under qemu); built as one edit, under half a
        # second. Measured as processor time, which other loads do not stretch.
        scale = int(os.environ.get("ZLP_TEST_TIMEOUT_SCALE", "1"))
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        result, written = self.make("# 指南\n\n![就绪](heart.png)\n\n[[状态代码表]]\n")
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(written)
        self.assertLess(cpu, 3 * scale)


if __name__ == "__main__":
    unittest.main(verbosity=2)
