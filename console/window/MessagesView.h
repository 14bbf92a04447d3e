#pragma once

#include "console/window/HexDumpModel.h"
#include "console/window/MessagesModel.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QTableView;

// The received messages: one row each, and for the selected one its payload
// as text and as a hex dump, both read from its "Pub_" file.
class TMessagesView : public QWidget {
    Q_OBJECT

public:
    // The text pane shows at most this much of a payload; copying takes at most CopyLimit.
    static constexpr qint64 TextLimit = 64 * 1024;
    static constexpr qint64 CopyLimit = 1024 * 1024;

    explicit TMessagesView(QWidget* parent = nullptr);

    void Append(const std::vector<TSavedMessage>& messages, int connection = 0);

    TMessagesModel* Model() const { return FModel; }
    QTableView* View() const { return FView; }
    THexDumpModel* Hex() const { return FHex; }
    QTableView* HexView() const { return FHexView; }
    QPlainTextEdit* TextView() const { return FText; }
    // MQTT 5.0: the selected message's properties, one a line; hidden when it has none.
    QPlainTextEdit* PropertiesView() const { return FProperties; }
    QLabel* Info() const { return FInfo; }

    // Shows the payload of a row (what selecting it does); -1 shows nothing.
    void ShowMessage(int row);
    // The hex bytes of the selected dump rows, or of the whole payload, at most CopyLimit bytes.
    QString HexForCopy() const;
    // The selected text, or the whole payload as text, at most CopyLimit bytes of it.
    QString TextForCopy() const;
    void CopyHex();
    void CopyText();
    // Opens the folder of the selected message's file in the desktop's file manager.
    void OpenFolder();

    // A payload as text: UTF-8, with every byte that is not part of a valid
    // character, and every control character but tab and line end, shown as \xNN.
    // cut: the bytes are a prefix, so a character cut at the end is left out.
    // lineLimit (0: none): a line longer than this many characters is broken
    // before the character that would pass it.
    static QString PayloadText(const QByteArray& bytes, bool cut, int lineLimit = 0);
    // The text pane breaks lines this long: laying out one paragraph of a
    // quarter million characters takes seconds, lines of a thousand a moment.
    static constexpr int DisplayLineLimit = 1024;

private:
    TMessagesModel* FModel;
    QTableView* FView;
    THexDumpModel* FHex;
    QTableView* FHexView;
    QPlainTextEdit* FText;
    QPlainTextEdit* FProperties;
    QLabel* FInfo;
    QCheckBox* FFollow;
    QString FShownPath;
};
