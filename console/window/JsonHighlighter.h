#pragma once

#include <QSyntaxHighlighter>
#include <QTextCharFormat>

// Colours JSON text: member names, strings, numbers, and true, false and null.
class TJsonHighlighter : public QSyntaxHighlighter {
    Q_OBJECT

public:
    explicit TJsonHighlighter(QTextDocument* document);
    // Off: the text is drawn plain (a payload that is not JSON).
    void SetActive(bool active);
    bool Active() const { return FActive; }

protected:
    void highlightBlock(const QString& text) override;

private:
    bool FActive = false;
    QTextCharFormat FKey, FString, FNumber, FWord;
};
