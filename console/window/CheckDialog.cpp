#include "console/window/CheckDialog.h"

#include "console/check/CheckReports.h"
#include "console/script/ScriptFields.h"
#include "platform/CodePage.h"
#include "platform/Random.h"

#include <QComboBox>
#include <QDir>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

QString Utf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

const QColor VerdictColour(TVerdict verdict)
{
    switch (verdict) {
    case TVerdict::Pass: return QColor(0xE3, 0xF6, 0xE3);
    case TVerdict::Fail: return QColor(0xFB, 0xDA, 0xDA);
    case TVerdict::Skip: return QColor(0xEE, 0xEE, 0xEE);
    case TVerdict::Error: return QColor(0xFB, 0xEC, 0xC8);
    }
    return QColor();
}

}  // namespace

TCheckDialog::TCheckDialog(std::string connection, QWidget* parent) : QDialog(parent), FConnection(std::move(connection))
{
    setObjectName("CheckDialog");
    setWindowTitle(QStringLiteral("ブローカー検査"));
    resize(1100, 720);

    FProtocol = new QComboBox(this);
    FProtocol->setObjectName("CheckProtocolCmb");
    FProtocol->addItems({"MQTT 3.1", "MQTT 3.1.1", "MQTT 5.0", QStringLiteral("すべての版")});
    FProtocol->setCurrentIndex(1);
    FFamilies = new QListWidget(this);
    FFamilies->setObjectName("CheckFamilyList");
    for (TCheckFamily family : AllFamilies) {
        auto* item = new QListWidgetItem(Utf8(FamilyCaption(family)), FFamilies);
        item->setData(Qt::UserRole, static_cast<int>(family));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    FFamilies->setMaximumWidth(260);
    FRunButton = new QPushButton(QStringLiteral("検査開始"), this);
    FRunButton->setObjectName("CheckRunBtn");
    FCancelButton = new QPushButton(QStringLiteral("キャンセル"), this);
    FCancelButton->setObjectName("CheckCancelBtn");
    FCancelButton->setEnabled(false);
    FProgress = new QProgressBar(this);
    FProgress->setObjectName("CheckProgress");
    FSummary = new QLabel(this);
    FSummary->setObjectName("CheckSummary");

    FResults = new QTableWidget(0, 6, this);
    FResults->setObjectName("CheckResultsTable");
    FResults->setHorizontalHeaderLabels({QStringLiteral("版"), QStringLiteral("分類"), QStringLiteral("検査"),
                                         QStringLiteral("規定"), QStringLiteral("判定"), QStringLiteral("理由")});
    FResults->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FResults->setSelectionBehavior(QAbstractItemView::SelectRows);
    FResults->setSelectionMode(QAbstractItemView::SingleSelection);
    FResults->horizontalHeader()->setStretchLastSection(true);
    FResults->verticalHeader()->setVisible(false);
    FFrames = new QPlainTextEdit(this);
    FFrames->setObjectName("CheckFramesText");
    FFrames->setReadOnly(true);
    FFrames->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    FFrames->setPlaceholderText(QStringLiteral("不合格・エラーの検査を選ぶと、各クライアントのフレームを表示します"));

    auto* left = new QVBoxLayout;
    left->addWidget(new QLabel(QStringLiteral("プロトコル"), this));
    left->addWidget(FProtocol);
    left->addWidget(new QLabel(QStringLiteral("分類"), this));
    left->addWidget(FFamilies, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(FRunButton);
    buttons->addWidget(FCancelButton);
    left->addLayout(buttons);
    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(FResults);
    splitter->addWidget(FFrames);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    auto* right = new QVBoxLayout;
    right->addWidget(FProgress);
    right->addWidget(FSummary);
    right->addWidget(splitter, 1);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left);
    layout->addLayout(right, 1);

    connect(FRunButton, &QPushButton::clicked, this, &TCheckDialog::Start);
    connect(FCancelButton, &QPushButton::clicked, this, &TCheckDialog::Cancel);
    connect(FResults, &QTableWidget::currentCellChanged, this, [this](int row) { ShowFrames(row); });
}

TCheckDialog::~TCheckDialog()
{
    if (FRunner) FRunner->Cancel();
    if (FWorker.joinable()) FWorker.join();
}

void TCheckDialog::ChooseProtocol(int index)
{
    FProtocol->setCurrentIndex(index);
}

void TCheckDialog::ChooseFamilies(const std::vector<TCheckFamily>& families)
{
    for (int i = 0; i < FFamilies->count(); ++i) {
        QListWidgetItem* item = FFamilies->item(i);
        const auto family = static_cast<TCheckFamily>(item->data(Qt::UserRole).toInt());
        item->setCheckState(std::find(families.begin(), families.end(), family) != families.end() ? Qt::Checked
                                                                                                   : Qt::Unchecked);
    }
}

void TCheckDialog::Start()
{
    if (Running()) return;
    if (FWorker.joinable()) FWorker.join();
    TCheckSelection selection;
    const int protocol = FProtocol->currentIndex();
    if (protocol == 3) selection.Versions.assign(std::begin(AllProtocolVersions), std::end(AllProtocolVersions));
    else selection.Versions = {AllProtocolVersions[protocol]};
    for (int i = 0; i < FFamilies->count(); ++i)
        if (FFamilies->item(i)->checkState() == Qt::Checked)
            selection.Families.push_back(static_cast<TCheckFamily>(FFamilies->item(i)->data(Qt::UserRole).toInt()));
    TCheckSettings settings;
    std::string error;
    std::vector<TPlanItem> plan;
    if (selection.Families.empty() || !ParseConnectionLines(FConnection, "connection", settings.Connection, error) ||
        !PlanChecks(selection, plan, error) || plan.empty()) {
        FSummary->setText(error.empty() ? QStringLiteral("検査する分類を選んでください") : Utf8(error));
        return;
    }
    Randomize();

    FResults->setRowCount(0);
    FRows.clear();
    FFrames->clear();
    FProgress->setRange(0, static_cast<int>(plan.size()));
    FProgress->setValue(0);
    FSummary->setText(QStringLiteral("検査中… %1 件").arg(plan.size()));
    FRunButton->setEnabled(false);
    FCancelButton->setEnabled(true);
    FRunner = std::make_unique<TCheckRunner>(settings);
    FRunner->OnResult = [this](const TCheckResult& result, size_t done, size_t total) {
        TCheckResult copy = result;
        QMetaObject::invokeMethod(this, [this, copy, done, total] { AddResult(copy, done, total); }, Qt::QueuedConnection);
    };
    FDone = false;
    // The checks' clients save what they receive in a temporary folder the run removes.
    FWorker = std::thread([this, plan] {
        TCheckRun run = FRunner->Run(plan);
        QMetaObject::invokeMethod(this, [this, run] {
            FRun = run;
            FDone = true;
            RunFinished();
        }, Qt::QueuedConnection);
    });
}

void TCheckDialog::Cancel()
{
    if (FRunner) FRunner->Cancel();
    FCancelButton->setEnabled(false);
}

void TCheckDialog::AddResult(const TCheckResult& result, size_t done, size_t)
{
    const int row = FResults->rowCount();
    FResults->insertRow(row);
    const QString cells[] = {Utf8(VersionWord(result.Version)), Utf8(FamilyName(result.Check->Family)),
                             Utf8(result.Check->Id), Utf8(StatementsText(result)), Utf8(VerdictWord(result.Verdict)),
                             Utf8(result.Reason)};
    for (int column = 0; column < 6; ++column) {
        auto* item = new QTableWidgetItem(cells[column]);
        item->setBackground(VerdictColour(result.Verdict));
        if (column == 2) item->setToolTip(Utf8(result.Check->Expects));
        FResults->setItem(row, column, item);
    }
    FRows.push_back(result);
    FProgress->setValue(static_cast<int>(done));
}

void TCheckDialog::RunFinished()
{
    FWorker.join();
    FRunButton->setEnabled(true);
    FCancelButton->setEnabled(false);
    FResults->resizeColumnsToContents();
    QString limits;
    for (const TLimitsReport& report : FRun.Limits)
        for (const std::string& line : LimitLines(report)) limits += "\n" + Utf8(line);
    FSummary->setText(Utf8(CountsLine(FRun)) + limits);
    emit Finished();
}

QString TCheckDialog::FramesText(int row) const
{
    if (row < 0 || row >= static_cast<int>(FRows.size())) return {};
    const TCheckResult& result = FRows[static_cast<size_t>(row)];
    if (result.Clients.empty()) return {};
    QString text = Utf8(std::string(VerdictWord(result.Verdict)) + " " + result.Check->Id + ": " + result.Reason) + "\n";
    for (const TClientTrace& client : result.Clients) {
        text += "\n== " + Utf8(client.Name) + " (" + Utf8(client.ClientID) + ")\n";
        for (const TFrameView& view : FrameViews(client)) {
            text += Utf8(view.Header) + "\n";
            for (const std::string& line : view.Fields) text += "    " + Utf8(line) + "\n";
            for (const std::string& line : view.Hex) text += "    " + Utf8(line) + "\n";
        }
    }
    return text;
}

void TCheckDialog::ShowFrames(int row)
{
    FFrames->setPlainText(FramesText(row));
}

std::string ConnectionSetLines(const TForm1& form)
{
    static const char* const controls[] = {"BrokerEdit1", "BrokerPortSpn", "UserNameEdit", "PasswordEdit", "TlsChk",
                                           "TlsCaFileEdit", "TlsCertFileEdit", "TlsKeyFileEdit", "TlsVerifyHostChk"};
    std::string lines;
    for (const TScriptField& field : ScriptFields())
        for (const char* control : controls)
            if (field.Name == control) lines += "set " + field.Name + " " + field.ScriptValue(form) + "\n";
    return lines;
}

void AddCheckMenu(QMainWindow& window, std::function<std::string()> connection)
{
    QMenu* menu = window.menuBar()->addMenu(QStringLiteral("検査(&K)"));
    menu->setObjectName("CheckMenu");
    QAction* open = menu->addAction(QStringLiteral("ブローカー検査…"));
    open->setObjectName("BrokerCheckAction");
    open->setToolTip(QStringLiteral("接続欄のブローカーに MQTT 規格の検査を行います"));
    QObject::connect(open, &QAction::triggered, &window, [&window, connection] {
        auto* dialog = new TCheckDialog(connection(), &window);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
    });
}
