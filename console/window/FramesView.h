#pragma once

#include "console/window/FramesModel.h"
#include "console/window/HexDumpModel.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QListView;
class QStringListModel;
class QTableView;

// Every frame sent and received, one row each, coloured by kind; the selected
// frame decoded field by field and its bytes as a hex dump.
class TFramesView : public QWidget {
    Q_OBJECT

public:
    explicit TFramesView(QWidget* parent = nullptr);

    void Append(std::vector<TFrameEntry> frames);

    TFramesModel* Model() const { return FModel; }
    QTableView* View() const { return FView; }
    QStringListModel* Details() const { return FDetails; }
    QListView* DetailView() const { return FDetailView; }
    THexDumpModel* Hex() const { return FHex; }
    QTableView* HexView() const { return FHexView; }

    // Shows a row decoded (what selecting it does); -1 shows nothing.
    void ShowFrame(int row);

private:
    void UpdateCount();

    TFramesModel* FModel;
    QTableView* FView;
    QStringListModel* FDetails;
    QListView* FDetailView;
    THexDumpModel* FHex;
    QTableView* FHexView;
    QCheckBox* FFollow;
    QLabel* FCount;
};
