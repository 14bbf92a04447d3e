#include "console/window/TopicTree.h"

#include "console/window/PayloadFormat.h"
#include "console/window/ViewText.h"

#include <QBrush>
#include <QColor>

#include <algorithm>

TTopicTreeModel::TTopicTreeModel(QObject* parent) : QAbstractItemModel(parent), FRoot(std::make_unique<TNode>())
{
}

TTopicTreeModel::~TTopicTreeModel() = default;

void TTopicTreeModel::Add(const TMessageRow& row)
{
    TNode* node = FRoot.get();
    const QStringList levels = row.Topic.split(QLatin1Char('/'));
    for (const QString& level : levels) {
        auto& children = node->Children;
        auto at = std::lower_bound(children.begin(), children.end(), level,
                                   [](const std::unique_ptr<TNode>& child, const QString& name) {
                                       return child->Name < name;
                                   });
        if (at == children.end() || (*at)->Name != level) {
            const int position = static_cast<int>(at - children.begin());
            auto made = std::make_unique<TNode>();
            made->Name = level;
            made->Path = node == FRoot.get() ? level : node->Path + QLatin1Char('/') + level;
            made->Parent = node;
            beginInsertRows(IndexOf(node), position, position);
            at = children.insert(children.begin() + position, std::move(made));
            endInsertRows();
        }
        node = at->get();
    }
    ++node->Own;
    node->HasLast = true;
    node->LastHead = row.Head;
    node->LastSize = row.Message.Size;
    node->LastTime = row.Message.Time;
    if (row.Message.Retain)
        node->Retained = row.Message.Size > 0;
    for (TNode* up = node; up && up != FRoot.get(); up = up->Parent) {
        ++up->Total;
        if (!up->Dirty) {
            up->Dirty = true;
            FDirty.push_back(up);
        }
    }
}

void TTopicTreeModel::Flush()
{
    for (TNode* node : FDirty) {
        node->Dirty = false;
        emit dataChanged(IndexOf(node, CountColumn), IndexOf(node, RetainedColumn));
    }
    FDirty.clear();
}

void TTopicTreeModel::Clear()
{
    beginResetModel();
    FRoot = std::make_unique<TNode>();
    FDirty.clear();
    endResetModel();
}

QModelIndex TTopicTreeModel::Find(const QString& topic) const
{
    const TNode* node = FRoot.get();
    for (const QString& level : topic.split(QLatin1Char('/'))) {
        const auto at = std::find_if(node->Children.begin(), node->Children.end(),
                                     [&](const std::unique_ptr<TNode>& child) { return child->Name == level; });
        if (at == node->Children.end())
            return {};
        node = at->get();
    }
    return IndexOf(node);
}

int TTopicTreeModel::Count(const QString& topic) const
{
    const QModelIndex found = Find(topic);
    return found.isValid() ? NodeOf(found)->Total : 0;
}

bool TTopicTreeModel::Retained(const QString& topic) const
{
    const QModelIndex found = Find(topic);
    return found.isValid() && NodeOf(found)->Retained;
}

TTopicTreeModel::TNode* TTopicTreeModel::NodeOf(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<TNode*>(index.internalPointer()) : FRoot.get();
}

int TTopicTreeModel::RowOf(const TNode* node) const
{
    const auto& siblings = node->Parent->Children;
    const auto at = std::lower_bound(siblings.begin(), siblings.end(), node->Name,
                                     [](const std::unique_ptr<TNode>& child, const QString& name) {
                                         return child->Name < name;
                                     });
    return static_cast<int>(at - siblings.begin());
}

QModelIndex TTopicTreeModel::IndexOf(const TNode* node, int column) const
{
    if (!node || node == FRoot.get())
        return {};
    return createIndex(RowOf(node), column, const_cast<TNode*>(node));
}

QModelIndex TTopicTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    const TNode* node = NodeOf(parent);
    if (row < 0 || row >= static_cast<int>(node->Children.size()) || column < 0 || column >= ColumnCount)
        return {};
    return createIndex(row, column, node->Children[static_cast<std::size_t>(row)].get());
}

QModelIndex TTopicTreeModel::parent(const QModelIndex& child) const
{
    if (!child.isValid())
        return {};
    return IndexOf(NodeOf(child)->Parent);
}

int TTopicTreeModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return static_cast<int>(NodeOf(parent)->Children.size());
}

int TTopicTreeModel::columnCount(const QModelIndex&) const
{
    return ColumnCount;
}

QVariant TTopicTreeModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const TNode& node = *NodeOf(index);
    if (role == PathRole)
        return node.Path;
    if (role == Qt::ToolTipRole) {
        if (index.column() == RetainedColumn)
            return QStringLiteral("Retain 付きで届いた最後のメッセージが空でなければ、ブローカーが保持しています");
        return node.Path;
    }
    if (role == Qt::TextAlignmentRole && index.column() == CountColumn)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case TopicColumn:
        return node.Name.isEmpty() ? QStringLiteral("(空)") : node.Name;
    case CountColumn:
        return ViewText::Count(node.Total);
    case PayloadColumn:
        return node.HasLast ? PayloadFormat::Preview(node.LastHead, node.LastSize) : QString();
    case TimeColumn:
        return node.HasLast ? ViewText::EventTimeMs(node.LastTime) : QString();
    case RetainedColumn:
        return node.Retained ? QStringLiteral("保持") : QString();
    }
    return {};
}

QVariant TTopicTreeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case TopicColumn:
        return QStringLiteral("トピック");
    case CountColumn:
        return QStringLiteral("件数");
    case PayloadColumn:
        return QStringLiteral("最後のペイロード");
    case TimeColumn:
        return QStringLiteral("時刻");
    case RetainedColumn:
        return QStringLiteral("Retain");
    }
    return {};
}
