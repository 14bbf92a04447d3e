#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

// How a payload is read: as it comes (JSON when it parses as JSON or its
// content type says so, else text), as text, as a hex dump, as JSON pretty-
// printed, or Base64-decoded.
enum class TPayloadMode { Auto, Text, Hex, Json, Base64 };

namespace PayloadFormat {

// A payload as text: UTF-8, with every byte that is not part of a valid
// character, and every control character but tab and line end, shown as \xNN.
// cut: the bytes are a prefix, so a character cut at the end is left out.
// lineLimit (0: none): a line longer than this many characters is broken
// before the character that would pass it.
QString Text(const QByteArray& bytes, bool cut, int lineLimit = 0);

// One line of a payload for a list: its first characters, line ends as "⏎".
QString Preview(const QByteArray& head, qint64 size, int characters = 60);

// The content type of a message from its property lines ("Content Type = application/json").
QString ContentType(const QStringList& properties);
// Whether the payload is to be read as JSON: its content type says so, or it
// parses as a JSON object or array.
bool IsJson(const QByteArray& bytes, const QString& contentType);
// The JSON pretty-printed (two blanks a level, members in their order of
// arrival); empty with the parser's reason in error when it is no JSON.
QString PrettyJson(const QByteArray& bytes, QString* error = nullptr);
// Base64 (or its URL form) decoded; false when the payload is no Base64.
bool DecodeBase64(const QByteArray& bytes, QByteArray& decoded);
// What Auto reads the payload as.
TPayloadMode Resolve(TPayloadMode mode, const QByteArray& bytes, const QString& contentType);

// The numbers a payload holds: a plain number ("21.5") as one value named "",
// the numbers of a JSON object or array by their path ("temp", "a.b", "v[2]"),
// at most limit of them.
std::vector<std::pair<QString, double>> Numbers(const QByteArray& bytes, std::size_t limit = 16);

}  // namespace PayloadFormat
