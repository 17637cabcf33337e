#include "chatclient/wire_text.h"

#include <QList>
#include <QStringView>

#include "encoding/codepage_1252.h"
#include "encoding/display_text.h"

namespace parlivo {
namespace {

// Whether one character (a whole code point) survives the way to
// Windows-1252 and back.
bool Encodable(QStringView character) {
  if (character == u'\0') return false;
  const std::string utf8 = character.toUtf8().toStdString();
  return Windows1252ToUtf8(Utf8ToWindows1252(utf8)) == utf8;
}

QString FirstMissing(const QString& text) {
  for (qsizetype i = 0; i < text.size();) {
    const qsizetype length = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    const QStringView character = QStringView(text).mid(i, length);
    if (!Encodable(character)) return character.toString();
    i += length;
  }
  return {};
}

}  // namespace

std::optional<std::string> ToWire(const QString& text, QString& missing) {
  const std::string utf8 = text.toUtf8().toStdString();
  std::string wire = Utf8ToWindows1252(utf8);
  if (Windows1252ToUtf8(wire) == utf8 && !text.contains(QChar(u'\0'))) return wire;
  missing = FirstMissing(text);
  return std::nullopt;
}

QString MissingCharacterHint(const QString& missing) {
  const char32_t code = missing.isEmpty() ? 0 : missing.toUcs4().value(0);
  // A control character is named by its number only: drawn, it is invisible.
  const QString shown = code < 0x20 || (code >= 0x7F && code < 0xA0) ? QString() : "\"" + missing + "\" ";
  const QString number = QString::number(static_cast<uint>(code), 16).toUpper().rightJustified(4, u'0');
  return "The character " + shown + "(U+" + number +
         ") cannot be sent: the chat's character set (Windows-1252) lacks it.";
}

QString FromWire(std::string_view bytes) { return QString::fromStdString(DisplayText(bytes)); }

bool HasControlCharacter(const QString& text) {
  for (const QChar c : text) {
    if (c.category() == QChar::Other_Control) return true;
  }
  return false;
}

}  // namespace parlivo
