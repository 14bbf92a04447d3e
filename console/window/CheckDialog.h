#pragma once

#include "console/check/CheckRunner.h"

#include <QDialog>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class QComboBox;
class QLabel;
class QListWidget;
class QMainWindow;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;
class TForm1;

// "ブローカー検査": runs the catalogue of broker checks against the broker of
// the window's connection fields, for the protocol and families chosen, with
// a progress bar and a cancel button; fills a table of verdicts and shows
// the frames of a failed check, decoded and in hex. The checks run on a
// thread of their own with clients of their own: the window's connection is
// not touched.
class TCheckDialog : public QDialog {
    Q_OBJECT

public:
    // connection: the set lines of the broker's connection fields.
    TCheckDialog(std::string connection, QWidget* parent = nullptr);
    ~TCheckDialog() override;

    // The choices, as the controls hold them (for tests and the menu).
    void ChooseProtocol(int index);            // 0 3.1, 1 3.1.1, 2 5.0, 3 every version
    void ChooseFamilies(const std::vector<TCheckFamily>& families);
    void Start();
    void Cancel();
    bool Running() const { return FWorker.joinable() && !FDone; }
    const TCheckRun& Run() const { return FRun; }
    // The frames of the result in that row of the table, as the pane shows them.
    QString FramesText(int row) const;
    void ShowFrames(int row);

signals:
    void Finished();

private:
    void AddResult(const TCheckResult& result, size_t done, size_t total);
    void RunFinished();

    std::string FConnection;
    QComboBox* FProtocol;
    QListWidget* FFamilies;
    QPushButton* FRunButton;
    QPushButton* FCancelButton;
    QProgressBar* FProgress;
    QTableWidget* FResults;
    QPlainTextEdit* FFrames;
    QLabel* FSummary;

    std::unique_ptr<TCheckRunner> FRunner;
    std::thread FWorker;
    std::atomic<bool> FDone{true};
    TCheckRun FRun;
    std::vector<TCheckResult> FRows;   // in table order
};

// The window's connection fields (broker, port, TLS, user, password) as set lines.
std::string ConnectionSetLines(const TForm1& form);
// The menu "検査" with its action "ブローカー検査…", which opens the dialog for
// the connection the fields give at that moment.
void AddCheckMenu(QMainWindow& window, std::function<std::string()> connection);
