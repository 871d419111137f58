// The settings query over an open USB link: write the query, read until a settings reply,
// a read failure or too many one-byte replies.
#pragma once

#include <QByteArray>

class usb_communicate;

namespace ipexchange
{

// The printer may answer with one-byte replies while it gets ready; this many in a row
// mean it never will.
inline constexpr int maxOneByteReplies = 50;
inline constexpr unsigned int replyBufferSize = 512;
// Longer than the slowest good exchange (49 one-byte replies of up to 500 ms each), so it
// only ends a printer that never stops sending replies of another form.
inline constexpr qint64 exchangeLimitMs = 30000;

// The 12 settings bytes, or the text "send error" (the query was not written) or
// "read ip error" (no usable reply). Replies of another form are read past; each read waits
// at most the link's time-out, so the loop ends once the printer goes quiet.
QByteArray queryPrinter(usb_communicate &link, const QByteArray &command);

// Writes exactly the 19 bytes of the set command for a 12-byte record; true when the
// printer took all of them.
bool writeSetCommand(usb_communicate &link, const QByteArray &settings);

} // namespace ipexchange
