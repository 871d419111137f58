#!/usr/bin/python3
"""A minimal PyQt5 tray program, the kind of monitor users meet elsewhere: an icon, a menu with
a quit entry, one notice and a small window. For bench/monitor_desktops.py."""
import sys

from PyQt5.QtWidgets import QApplication, QLabel, QMenu, QStyle, QSystemTrayIcon

app = QApplication(sys.argv)
window = QLabel("PyQt5 tray program")
window.resize(520, 350)
window.show()
tray = QSystemTrayIcon(app.style().standardIcon(QStyle.SP_ComputerIcon))
menu = QMenu()
menu.addAction("Quit", app.quit)
tray.setContextMenu(menu)
tray.show()
tray.showMessage("PyQt5", "running", QSystemTrayIcon.Information, 30000)
sys.exit(app.exec_())
