#pragma once

#include "console/window/HexDumpModel.h"
#include "console/window/MessagesModel.h"
#include "console/window/PayloadFormat.h"

#include <QHash>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTreeView;
class TConnectionNames;
class TJsonHighlighter;
class TMessagesFilterModel;
class TPayloadChart;
class TTopicTreeModel;

// The received messages: a filter row (topic with + and #, payload text, QoS,
// Retain, connection), the topic tree beside the list (selecting a branch
// filters the list by it), the list in any column's order, and the selected
// message's payload read from its "Pub_" file as text, JSON, Base64-decoded
// or a hex dump (the choice kept per topic), with its numbers over time.
class TMessagesView : public QWidget {
    Q_OBJECT

public:
    // The text pane shows at most this much of a payload; copying takes at most CopyLimit.
    static constexpr qint64 TextLimit = 64 * 1024;
    static constexpr qint64 CopyLimit = 1024 * 1024;

    explicit TMessagesView(QWidget* parent = nullptr);

    void Append(const std::vector<TReceivedMessage>& messages, int connection = 0);
    // Messages without their first bytes: read from their files.
    void Append(const std::vector<TSavedMessage>& messages, int connection = 0);
    void SetConnectionNames(const TConnectionNames* names);

    TMessagesModel* Model() const { return FModel; }
    TMessagesFilterModel* Filter() const { return FFilter; }
    TTopicTreeModel* Topics() const { return FTopics; }
    QTableView* View() const { return FView; }
    QTreeView* TopicView() const { return FTopicView; }
    THexDumpModel* Hex() const { return FHex; }
    QTableView* HexView() const { return FHexView; }
    QPlainTextEdit* TextView() const { return FText; }
    // MQTT 5.0: the selected message's properties, one a line; hidden when it has none.
    QPlainTextEdit* PropertiesView() const { return FProperties; }
    QLabel* Info() const { return FInfo; }
    QLineEdit* TopicEdit() const { return FTopicEdit; }
    QLineEdit* FindEdit() const { return FTextEdit; }
    QComboBox* QosBox() const { return FQosBox; }
    QComboBox* RetainBox() const { return FRetainBox; }
    QComboBox* ModeBox() const { return FModeBox; }
    TPayloadChart* Chart() const { return FChart; }
    TJsonHighlighter* Highlighter() const { return FHighlighter; }

    // Shows the payload of a model row (what selecting it does); -1 shows nothing.
    void ShowMessage(int row);
    // The model row of the selected message; -1 for none.
    int ShownRow() const { return FShownRow; }
    // How the shown message's topic is read from now on (and the payload again).
    void SetMode(TPayloadMode mode);
    TPayloadMode ModeOf(const QString& topic) const { return FModes.value(topic, TPayloadMode::Auto); }
    // Draws the numbers of the shown message's topic; false when they have none.
    bool ShowChart();
    // The messages the list shows, in its order.
    std::vector<const TMessageRow*> ShownRows() const;
    // The shown messages to a file: CSV or JSON Lines (by the name's ending).
    bool Export(const QString& path, QString& error) const;

    // The hex bytes of the selected dump rows, or of the whole payload, at most
    // CopyLimit bytes; cut tells whether the limit left bytes out.
    QString HexForCopy(bool* cut = nullptr) const;
    // The selected text, or the whole payload as text, at most CopyLimit bytes of it.
    QString TextForCopy() const;
    void CopyHex();
    void CopyText();
    // Opens the folder of the selected message's file in the desktop's file
    // manager; false (and a note) when the desktop has none.
    bool OpenFolder();

    // A payload as text (see PayloadFormat::Text).
    static QString PayloadText(const QByteArray& bytes, bool cut, int lineLimit = 0)
    {
        return PayloadFormat::Text(bytes, cut, lineLimit);
    }
    // The text pane breaks lines this long: laying out one paragraph of a
    // quarter million characters takes seconds, lines of a thousand a moment.
    static constexpr int DisplayLineLimit = 1024;

private:
    static QString NoMessageText();
    void RenderPayload();
    void UpdateShown();
    void ChooseExport();

    TMessagesModel* FModel;
    TMessagesFilterModel* FFilter;
    TTopicTreeModel* FTopics;
    QTableView* FView;
    QTreeView* FTopicView;
    QLineEdit* FTopicEdit;
    QLineEdit* FTextEdit;
    QComboBox* FQosBox;
    QComboBox* FRetainBox;
    QComboBox* FConnectionBox;
    QLabel* FShown;
    THexDumpModel* FHex;
    QTableView* FHexView;
    QPlainTextEdit* FText;
    TJsonHighlighter* FHighlighter;
    QPlainTextEdit* FProperties;
    QLabel* FInfo;
    QCheckBox* FFollow;
    QComboBox* FModeBox;
    QPushButton* FChartBtn;
    TPayloadChart* FChart;
    const TConnectionNames* FNames = nullptr;
    QString FShownPath;
    int FShownRow = -1;
    QHash<QString, TPayloadMode> FModes;
};
