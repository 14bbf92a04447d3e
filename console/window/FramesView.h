#pragma once

#include "console/window/Export.h"
#include "console/window/FramesModel.h"
#include "console/window/HexDumpModel.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListView;
class QStringListModel;
class QTableView;
class TConnectionNames;

// Every frame sent and received, one row each, coloured by kind, with filters
// (packet type, direction, connection) and a search of their bytes (hex or
// text); the selected frame decoded field by field and its bytes as a hex
// dump; the frames shown written as a pcap capture.
class TFramesView : public QWidget {
    Q_OBJECT

public:
    explicit TFramesView(QWidget* parent = nullptr);

    void Append(std::vector<TFrameEntry> frames);
    void SetConnectionNames(const TConnectionNames* names);
    // The TCP ports a connection's frames go between in a capture; the window knows them.
    Export::TPortsOf PortsOf;

    TFramesModel* Model() const { return FModel; }
    TFramesFilterModel* Filter() const { return FFilter; }
    QTableView* View() const { return FView; }
    QStringListModel* Details() const { return FDetails; }
    QListView* DetailView() const { return FDetailView; }
    THexDumpModel* Hex() const { return FHex; }
    QTableView* HexView() const { return FHexView; }
    QComboBox* TypeBox() const { return FTypeBox; }
    QComboBox* DirectionBox() const { return FDirectionBox; }
    QLineEdit* FindEdit() const { return FFindEdit; }
    QComboBox* FindModeBox() const { return FFindMode; }
    QLabel* FindNote() const { return FFindNote; }

    // Shows a model row decoded (what selecting it does); -1 shows nothing.
    void ShowFrame(int row);
    // Selects the next (or previous) shown frame after the current one whose
    // kept bytes hold the search, wrapping at the end, with the dump row of
    // the match; false when none holds it or the text is no hex.
    bool FindNext(bool backwards = false);
    // The frames shown, in their order.
    std::vector<const TFrameEntry*> ShownFrames() const;
    bool ExportPcap(const QString& path, QString& error) const;

private:
    void UpdateCount();
    void ChooseExport();

    TFramesModel* FModel;
    TFramesFilterModel* FFilter;
    QTableView* FView;
    QStringListModel* FDetails;
    QListView* FDetailView;
    THexDumpModel* FHex;
    QTableView* FHexView;
    QCheckBox* FFollow;
    QLabel* FCount;
    QComboBox* FTypeBox;
    QComboBox* FDirectionBox;
    QComboBox* FConnectionBox;
    QLineEdit* FFindEdit;
    QComboBox* FFindMode;
    QLabel* FFindNote;
    const TConnectionNames* FNames = nullptr;
};
