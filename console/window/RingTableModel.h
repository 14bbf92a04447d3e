#pragma once

#include <QAbstractTableModel>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <iterator>

// A table whose rows arrive in batches at the end and leave from the front once
// there are more than its capacity: the shape of the log, the messages and the
// frames. Each batch is one insertion (and at most one removal), so a view
// redraws once per batch however many rows it brings.
template <typename TRow>
class TRingTableModel : public QAbstractTableModel {
public:
    explicit TRingTableModel(std::size_t capacity, QObject* parent)
        : QAbstractTableModel(parent), FCapacity(std::max<std::size_t>(capacity, 1))
    {
    }

    std::size_t Capacity() const { return FCapacity; }

    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(FRows.size());
    }

    void Clear()
    {
        beginResetModel();
        FRows.clear();
        endResetModel();
    }

protected:
    // Appends make(*it) for each item; a batch larger than the capacity keeps
    // only its own newest items.
    template <typename TIt, typename TMake>
    void AppendRows(TIt first, TIt last, TMake make)
    {
        const auto count = static_cast<std::size_t>(std::distance(first, last));
        if (count == 0)
            return;
        if (count > FCapacity)
            std::advance(first, static_cast<std::ptrdiff_t>(count - FCapacity));
        const std::size_t incoming = std::min(count, FCapacity);
        const std::size_t room = FCapacity - std::min(FCapacity, FRows.size());
        if (incoming > room)
            DropOldest(incoming - room);
        const int at = static_cast<int>(FRows.size());
        beginInsertRows({}, at, at + static_cast<int>(incoming) - 1);
        for (; first != last; ++first)
            FRows.push_back(make(*first));
        endInsertRows();
    }

    void DropOldest(std::size_t count)
    {
        count = std::min(count, FRows.size());
        if (count == 0)
            return;
        beginRemoveRows({}, 0, static_cast<int>(count) - 1);
        for (std::size_t i = 0; i < count; ++i)
            Dropping(FRows[i]);
        FRows.erase(FRows.begin(), FRows.begin() + static_cast<std::ptrdiff_t>(count));
        endRemoveRows();
    }

    void DropNewest(std::size_t count)
    {
        count = std::min(count, FRows.size());
        if (count == 0)
            return;
        const std::size_t first = FRows.size() - count;
        beginRemoveRows({}, static_cast<int>(first), static_cast<int>(FRows.size()) - 1);
        for (std::size_t i = first; i < FRows.size(); ++i)
            Dropping(FRows[i]);
        FRows.erase(FRows.begin() + static_cast<std::ptrdiff_t>(first), FRows.end());
        endRemoveRows();
    }

    // Told of each row as it leaves.
    virtual void Dropping(const TRow&) {}

    bool ValidRow(const QModelIndex& index) const
    {
        return index.isValid() && index.row() < static_cast<int>(FRows.size());
    }

    const TRow& RowAt(int row) const { return FRows[static_cast<std::size_t>(row)]; }

    std::deque<TRow> FRows;

private:
    std::size_t FCapacity;
};
