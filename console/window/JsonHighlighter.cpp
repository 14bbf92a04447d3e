#include "console/window/JsonHighlighter.h"

#include <QColor>
#include <QRegularExpression>

TJsonHighlighter::TJsonHighlighter(QTextDocument* document) : QSyntaxHighlighter(document)
{
    FKey.setForeground(QColor(0x0b, 0x4f, 0x9c));
    FKey.setFontWeight(QFont::Bold);
    FString.setForeground(QColor(0x1b, 0x7a, 0x2e));
    FNumber.setForeground(QColor(0x8a, 0x2b, 0xa8));
    FWord.setForeground(QColor(0xb3, 0x5c, 0x00));
}

void TJsonHighlighter::SetActive(bool active)
{
    if (active == FActive)
        return;
    FActive = active;
    rehighlight();
}

void TJsonHighlighter::highlightBlock(const QString& text)
{
    if (!FActive)
        return;
    // A string, then whether a colon follows it (a member name); a number; a literal.
    static const QRegularExpression token(
        QStringLiteral(R"("(?:[^"\\]|\\.)*"(\s*:)?|-?\d+(?:\.\d+)?(?:[eE][+-]?\d+)?|\b(?:true|false|null)\b)"));
    for (auto it = token.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const QChar first = match.captured(0).front();
        const QTextCharFormat& format = first == QLatin1Char('"') ? (match.capturedLength(1) > 0 ? FKey : FString)
                                        : (first.isDigit() || first == QLatin1Char('-')) ? FNumber
                                                                                         : FWord;
        setFormat(static_cast<int>(match.capturedStart(0)), static_cast<int>(match.capturedLength(0)), format);
    }
}
