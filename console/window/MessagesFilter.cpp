#include "console/window/MessagesFilter.h"

#include "console/window/MessagesModel.h"

#include <QStringList>

#include <algorithm>

bool TopicFilterMatches(const QString& filter, const QString& topic)
{
    if (filter.isEmpty())
        return true;
    const QStringList want = filter.split(QLatin1Char('/'));
    const QStringList levels = topic.split(QLatin1Char('/'));
    // A wildcard in the first level does not reach the broker's own "$" topics.
    if (topic.startsWith(QLatin1Char('$')) && (want[0] == QLatin1String("+") || want[0] == QLatin1String("#")))
        return false;
    for (qsizetype i = 0; i < want.size(); ++i) {
        if (want[i] == QLatin1String("#"))
            return i == want.size() - 1;
        if (i >= levels.size())
            return false;
        if (want[i] != QLatin1String("+") && want[i] != levels[i])
            return false;
    }
    return want.size() == levels.size();
}

TMessagesFilterModel::TMessagesFilterModel(QObject* parent) : QSortFilterProxyModel(parent)
{
    setSortRole(TMessagesModel::SortRole);
    // The search thread's reports come to this thread; those of a search since replaced are dropped.
    FSearch = std::make_unique<TPayloadSearch>([this](uint64_t search, std::vector<uint64_t> found, bool done) {
        QMetaObject::invokeMethod(
            this, [this, search, found = std::move(found), done] { OnFound(search, found, done); },
            Qt::QueuedConnection);
    });
}

// The search thread ends before the model it reports to.
TMessagesFilterModel::~TMessagesFilterModel()
{
    FSearch.reset();
}

void TMessagesFilterModel::setSourceModel(QAbstractItemModel* model)
{
    QSortFilterProxyModel::setSourceModel(model);
    // Payloads that come while a text is looked for are looked through too.
    connect(model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) { SearchRows(first, last); });
}

void TMessagesFilterModel::SetTopic(const QString& filter)
{
    if (filter == FTopic)
        return;
    FTopic = filter;
    invalidateRowsFilter();
}

void TMessagesFilterModel::SetPayloadText(const QString& text)
{
    if (text == FText)
        return;
    FText = text;
    FTextUtf8 = text.toUtf8();
    StartSearch();
    invalidateRowsFilter();
}

// The payloads larger than the bytes their rows keep, read from their files from there on.
void TMessagesFilterModel::StartSearch()
{
    FFound.clear();
    if (FText.isEmpty()) {
        FSearch->Cancel();
        ++FSearchNumber;   // a report still on its way is of no search
        SetSearching(false);
        return;
    }
    const QString text = FText;
    const QByteArray bytes = FTextUtf8;
    // The bytes as they are (binary payloads too), then the text without regard to case.
    TPayloadSearch::TMatcher matcher = [text, bytes](std::string_view chunk) {
        if (chunk.find(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()))) !=
            std::string_view::npos)
            return true;
        return QString::fromUtf8(chunk.data(), static_cast<qsizetype>(chunk.size())).contains(text, Qt::CaseInsensitive);
    };
    // A character found without regard to case takes at most four bytes, and
    // a chunk may begin inside one: what a match across a cut can span.
    const std::size_t overlap = static_cast<std::size_t>(std::max(bytes.size(), text.size() * 4) + 4);
    std::vector<TPayloadSearch::TFile> files = LargePayloads(0, sourceModel() ? sourceModel()->rowCount() - 1 : -1);
    // Without a large payload there is nothing to wait for.
    SetSearching(!files.empty());
    FSearchNumber = FSearch->Start(std::move(matcher), overlap, std::move(files));
}

std::vector<TPayloadSearch::TFile> TMessagesFilterModel::LargePayloads(int first, int last) const
{
    std::vector<TPayloadSearch::TFile> files;
    const auto* model = static_cast<const TMessagesModel*>(sourceModel());
    for (int row = first; row <= last; ++row) {
        const TMessageRow& message = model->MessageAt(row);
        if (message.Message.Size > message.Head.size())
            files.push_back({message.Number, message.Message.Path, static_cast<uint64_t>(message.Head.size())});
    }
    return files;
}

void TMessagesFilterModel::SearchRows(int first, int last)
{
    if (FText.isEmpty())
        return;
    std::vector<TPayloadSearch::TFile> files = LargePayloads(first, last);
    if (files.empty())
        return;
    FSearch->Add(std::move(files));
    SetSearching(true);
}

void TMessagesFilterModel::OnFound(uint64_t search, const std::vector<uint64_t>& found, bool done)
{
    if (search != FSearchNumber)
        return;
    if (done)
        SetSearching(false);
    if (found.empty())
        return;
    // Only the rows found are looked at again, not the whole list.
    auto* model = static_cast<TMessagesModel*>(sourceModel());
    for (uint64_t number : found) {
        FFound.insert(number);
        model->Touch(number);
    }
}

void TMessagesFilterModel::SetSearching(bool searching)
{
    if (searching == FSearching)
        return;
    FSearching = searching;
    emit SearchingChanged(searching);
}

void TMessagesFilterModel::SetQos(int qos)
{
    if (qos == FQos)
        return;
    FQos = qos;
    invalidateRowsFilter();
}

void TMessagesFilterModel::SetRetain(int retain)
{
    if (retain == FRetain)
        return;
    FRetain = retain;
    invalidateRowsFilter();
}

void TMessagesFilterModel::SetConnection(int connection)
{
    if (connection == FConnection)
        return;
    FConnection = connection;
    invalidateRowsFilter();
}

bool TMessagesFilterModel::Filtering() const
{
    return !FTopic.isEmpty() || !FText.isEmpty() || FQos >= 0 || FRetain >= 0 || FConnection != 0;
}

bool TMessagesFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex&) const
{
    const auto* model = static_cast<const TMessagesModel*>(sourceModel());
    const TMessageRow& row = model->MessageAt(sourceRow);
    if (FConnection != 0 && row.Connection != FConnection)
        return false;
    if (FQos >= 0 && row.Message.Qos != FQos)
        return false;
    if (FRetain >= 0 && row.Message.Retain != (FRetain == 1))
        return false;
    if (!TopicFilterMatches(FTopic, row.Topic))
        return false;
    if (FText.isEmpty())
        return true;
    // The bytes as they are first (binary payloads too), then the text without regard to case.
    return row.Head.contains(FTextUtf8) || QString::fromUtf8(row.Head).contains(FText, Qt::CaseInsensitive) ||
           FFound.contains(row.Number);
}

bool TMessagesFilterModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const QVariant a = left.data(sortRole());
    const QVariant b = right.data(sortRole());
    if (a.typeId() == QMetaType::QString || b.typeId() == QMetaType::QString)
        return QString::localeAwareCompare(a.toString(), b.toString()) < 0;
    if (a.toLongLong() != b.toLongLong())
        return a.toLongLong() < b.toLongLong();
    return left.row() < right.row();   // equal keys keep their arrival order
}
