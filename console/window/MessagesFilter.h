#pragma once

#include "console/window/core/PayloadSearch.h"

#include <QSet>
#include <QSortFilterProxyModel>
#include <QString>

#include <memory>
#include <vector>

// Whether an MQTT topic filter matches a topic: "+" stands for one level,
// "#" at the end for any number of levels (the parent level included: "a/#"
// matches "a"). Topics beginning with "$" match only a filter that names
// their first level. A filter of no text matches every topic.
bool TopicFilterMatches(const QString& filter, const QString& topic);

// The received messages the view shows: those whose topic matches a filter,
// whose payload holds a text (anywhere in it), of one QoS, with or without
// Retain, from one connection; in any column's order. A payload's first bytes,
// which the rows keep, are looked at at once; the rest of a larger payload is
// read from its file on a thread of its own, and the message joins the list
// when the text is found there, so that a keystroke in the filter never waits
// for the disk.
class TMessagesFilterModel : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit TMessagesFilterModel(QObject* parent = nullptr);
    ~TMessagesFilterModel() override;
    void setSourceModel(QAbstractItemModel* model) override;

    void SetTopic(const QString& filter);
    void SetPayloadText(const QString& text);
    void SetQos(int qos);             // -1: any
    void SetRetain(int retain);       // -1: any, 0: without, 1: with
    void SetConnection(int connection);   // 0: any

    const QString& Topic() const { return FTopic; }
    bool Filtering() const;
    // Payloads past their first bytes are still being read for the text.
    bool Searching() const { return FSearching; }

signals:
    void SearchingChanged(bool searching);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    void StartSearch();
    void SearchRows(int first, int last);
    // The rows' payloads larger than the bytes the rows keep, to be read past those.
    std::vector<TPayloadSearch::TFile> LargePayloads(int first, int last) const;
    void OnFound(uint64_t search, const std::vector<uint64_t>& found, bool done);
    void SetSearching(bool searching);

    QString FTopic;
    QString FText;
    QByteArray FTextUtf8;
    int FQos = -1;
    int FRetain = -1;
    int FConnection = 0;
    std::unique_ptr<TPayloadSearch> FSearch;
    uint64_t FSearchNumber = 0;
    bool FSearching = false;
    QSet<uint64_t> FFound;   // the numbers of the messages whose files hold the text
};
