#include "console/window/PayloadFormat.h"

#include "platform/CodePage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>

#include <cstdio>

namespace PayloadFormat {
namespace {

QString Escaped(unsigned value, const char* format)
{
    char text[12];
    std::snprintf(text, sizeof text, format, value);
    return QString::fromLatin1(text);
}

// Bytes a UTF-8 sequence with this lead byte needs; 0 for a byte that cannot lead.
int SequenceNeeds(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

}  // namespace

QString Text(const QByteArray& bytes, bool cut, int lineLimit)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto n = static_cast<std::size_t>(bytes.size());
    QString text;
    text.reserve(bytes.size());
    qsizetype column = 0;
    // One character or one escape at a time, so that a break never splits either.
    auto put = [&](const QString& unit) {
        if (unit == QLatin1String("\n")) {
            column = 0;
        } else {
            if (lineLimit > 0 && column > 0 && column + unit.size() > lineLimit) {
                text += QLatin1Char('\n');
                column = 0;
            }
            column += unit.size();
        }
        text += unit;
    };
    std::size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            if (b == '\r' && i + 1 < n && p[i + 1] == '\n') {
                ++i;   // a CR LF line end shows as one line end
                continue;
            }
            if ((b < 0x20 && b != '\n' && b != '\t') || b == 0x7f)
                put(Escaped(b, "\\x%02X"));
            else
                put(QString(QLatin1Char(static_cast<char>(b))));
            ++i;
            continue;
        }
        const std::size_t length = CodePage::UTF8SequenceLength(p + i, n - i);
        if (length > 0) {
            // C1 controls (U+0080..U+009F) would act, not show.
            if (length == 2 && b == 0xC2 && p[i + 1] <= 0x9F)
                put(Escaped(p[i + 1], "\\u%04X"));
            else
                put(QString::fromUtf8(reinterpret_cast<const char*>(p + i), static_cast<qsizetype>(length)));
            i += length;
            continue;
        }
        const int needs = SequenceNeeds(b);
        if (cut && needs > 0 && n - i < static_cast<std::size_t>(needs)) {
            bool continuation = true;
            for (std::size_t k = i + 1; k < n; ++k)
                continuation = continuation && (p[k] & 0xC0) == 0x80;
            if (continuation)
                break;   // the prefix ends inside a character
        }
        put(Escaped(b, "\\x%02X"));
        ++i;
    }
    return text;
}

QString Preview(const QByteArray& head, qint64 size, int characters)
{
    QString text = Text(head.left(characters * 4), size > head.size() || head.size() > characters * 4);
    text.replace(QLatin1Char('\n'), QStringLiteral("⏎"));
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    if (text.size() > characters || size > head.size())
        text = text.left(characters) + QStringLiteral("…");
    return text;
}

QString ContentType(const QStringList& properties)
{
    static const QString key = QStringLiteral("Content Type = ");
    for (const QString& line : properties)
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed();
    return {};
}

bool IsJson(const QByteArray& bytes, const QString& contentType)
{
    const QString type = contentType.toLower();
    if (type.contains(QLatin1String("json")))
        return true;
    const QByteArray trimmed = bytes.trimmed();
    if (trimmed.isEmpty() || (trimmed.front() != '{' && trimmed.front() != '['))
        return false;
    QJsonParseError error{};
    QJsonDocument::fromJson(trimmed, &error);
    return error.error == QJsonParseError::NoError;
}

QString PrettyJson(const QByteArray& bytes, QString* error)
{
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parse);
    if (parse.error != QJsonParseError::NoError || document.isNull()) {
        if (error)
            *error = QStringLiteral("JSON として読めません (%1 文字目: %2)").arg(parse.offset).arg(parse.errorString());
        return {};
    }
    // Qt indents by four; two reads better in a narrow pane.
    const QString indented = QString::fromUtf8(document.toJson(QJsonDocument::Indented));
    QString out;
    out.reserve(indented.size());
    for (const QString& line : indented.split(QLatin1Char('\n'))) {
        qsizetype blanks = 0;
        while (blanks < line.size() && line[blanks] == QLatin1Char(' '))
            ++blanks;
        if (!out.isEmpty())
            out += QLatin1Char('\n');
        out += QString(blanks / 2, QLatin1Char(' ')) + line.mid(blanks);
    }
    return out.trimmed();
}

bool DecodeBase64(const QByteArray& bytes, QByteArray& decoded)
{
    const QByteArray trimmed = bytes.simplified().replace(' ', QByteArray());
    if (trimmed.isEmpty())
        return false;
    for (auto options : {QByteArray::Base64Encoding, QByteArray::Base64UrlEncoding}) {
        auto result = QByteArray::fromBase64Encoding(trimmed, options | QByteArray::AbortOnBase64DecodingErrors);
        if (result) {
            decoded = *result;
            return true;
        }
    }
    return false;
}

TPayloadMode Resolve(TPayloadMode mode, const QByteArray& bytes, const QString& contentType)
{
    if (mode != TPayloadMode::Auto)
        return mode;
    return IsJson(bytes, contentType) ? TPayloadMode::Json : TPayloadMode::Text;
}

namespace {

void CollectNumbers(const QJsonValue& value, const QString& path, std::vector<std::pair<QString, double>>& out,
                    std::size_t limit)
{
    if (out.size() >= limit)
        return;
    if (value.isDouble()) {
        out.emplace_back(path, value.toDouble());
    } else if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            CollectNumbers(it.value(), path.isEmpty() ? it.key() : path + QLatin1Char('.') + it.key(), out, limit);
    } else if (value.isArray()) {
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size(); ++i)
            CollectNumbers(array[i], QStringLiteral("%1[%2]").arg(path).arg(i), out, limit);
    }
}

}  // namespace

std::vector<std::pair<QString, double>> Numbers(const QByteArray& bytes, std::size_t limit)
{
    std::vector<std::pair<QString, double>> out;
    const QByteArray trimmed = bytes.trimmed();
    bool ok = false;
    const double plain = trimmed.toDouble(&ok);
    if (ok && !trimmed.isEmpty()) {
        out.emplace_back(QString(), plain);
        return out;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(trimmed, &error);
    if (error.error != QJsonParseError::NoError)
        return out;
    CollectNumbers(document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array()), QString(), out,
                   limit);
    return out;
}

}  // namespace PayloadFormat
