#pragma once
// Texts between the window (Unicode, QString) and the wire (Windows-1252
// bytes). Nothing is changed silently on the way out: a text with a
// character the code page lacks is refused, and the caller tells the user
// which character it was.

#include <QString>
#include <optional>
#include <string>
#include <string_view>

namespace parlivo {

// The Windows-1252 bytes of `text`, or nullopt when some character has no
// byte there; `missing` then holds the first such character. U+0000 counts
// as missing too: the chat encoding drops zero bytes.
std::optional<std::string> ToWire(const QString& text, QString& missing);

// The hint shown when ToWire refused a text because of `missing`.
QString MissingCharacterHint(const QString& missing);

// Wire bytes for display: decoded from Windows-1252, control characters
// shown as visible escapes (encoding/display_text.h).
QString FromWire(std::string_view bytes);

// Whether the text holds a control character (C0, DEL or C1), which a
// nickname or room must not.
bool HasControlCharacter(const QString& text);

}  // namespace parlivo
