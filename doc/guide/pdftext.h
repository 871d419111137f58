// Repairs the character codes that Qt's PDF writer gives CJK glyphs. Fonts such as Noto Sans
// CJK draw a Kangxi radical (U+2F00...) and the ideograph it looks like (黑, U+9ED1) with one
// glyph, and the writer names each glyph after the lowest code that uses it, so a reader
// copying or searching the text gets "⿊" for "黑". Rewriting those codes in the PDF's
// ToUnicode maps puts the ideographs back; each code keeps its length, so nothing else in
// the file moves. Which ideograph a radical stands for is the font's own choice (the
// simplified-Chinese font draws "⼾" as "户"), so the table comes from the font.
#pragma once

#include <QByteArray>
#include <QHash>

// Rewrites the destination codes of every "beginbfchar"/"beginbfrange" section of the PDF
// that the table names (radical -> ideograph); the source glyph codes stay as they are.
// Returns how many codes were changed.
int repairCjkToUnicode(QByteArray &pdf, const QHash<char16_t, char16_t> &ideographs);
