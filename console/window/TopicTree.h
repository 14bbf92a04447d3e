#pragma once

#include "console/window/MessagesModel.h"
#include "platform/Clock.h"

#include <QAbstractItemModel>

#include <memory>
#include <vector>

// Every topic the session has received on, as a tree of its levels: per node
// the messages on it and below it, the last payload and when it came, and
// whether the broker holds a message retained there (the last message that
// came with Retain had a payload; an empty one clears it). Children in the
// order of their names.
class TTopicTreeModel : public QAbstractItemModel {
    Q_OBJECT

public:
    enum TColumn { TopicColumn, CountColumn, PayloadColumn, TimeColumn, RetainedColumn, ColumnCount };
    // A node's whole topic ("a/b"), for filtering the list by it.
    static constexpr int PathRole = Qt::UserRole + 1;

    explicit TTopicTreeModel(QObject* parent = nullptr);
    ~TTopicTreeModel() override;

    // Counts the message in; the views hear of it at Flush().
    void Add(const TMessageRow& row);
    // Tells the views of the nodes changed since the last call.
    void Flush();
    void Clear();
    // The index of a topic's node; invalid when it was never seen.
    QModelIndex Find(const QString& topic) const;
    int Count(const QString& topic) const;      // messages on the topic and below it
    bool Retained(const QString& topic) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    struct TNode {
        QString Name;
        QString Path;
        TNode* Parent = nullptr;
        std::vector<std::unique_ptr<TNode>> Children;
        int Own = 0;
        int Total = 0;
        bool HasLast = false;
        QByteArray LastHead;
        qint64 LastSize = 0;
        TLocalDateTime LastTime{};
        bool Retained = false;
        bool Dirty = false;
    };
    TNode* NodeOf(const QModelIndex& index) const;
    QModelIndex IndexOf(const TNode* node, int column = 0) const;
    int RowOf(const TNode* node) const;

    std::unique_ptr<TNode> FRoot;
    std::vector<TNode*> FDirty;
};
