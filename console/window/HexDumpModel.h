#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>
#include <list>
#include <memory>

// Bytes as offset | hex | ASCII, sixteen to a row. The bytes come from memory
// or from a file; a file is read page by page as rows are shown, through a
// small cache, so a payload of many megabytes opens at once and never sits in
// memory whole.
class THexDumpModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum TColumn { OffsetColumn, HexColumn, AsciiColumn, ColumnCount };
    static constexpr int BytesPerRow = 16;
    static constexpr qint64 DefaultPageSize = 64 * 1024;
    static constexpr int DefaultCachedPages = 16;

    explicit THexDumpModel(QObject* parent = nullptr, qint64 pageSize = DefaultPageSize,
                           int cachedPages = DefaultCachedPages);

    // False (and the model empty) when the file cannot be opened.
    bool SetFile(const QString& path);
    void SetBytes(const QByteArray& bytes);
    void Clear();

    qint64 Size() const { return FSize; }
    // Up to length bytes from offset; fewer where the source ends or cannot be read.
    QByteArray Bytes(qint64 offset, qint64 length) const;
    // Pages read from the file so far (for checking that rows are read lazily).
    qint64 PagesRead() const { return FPagesRead; }

    // The parts of a dump row for the given bytes.
    static QString OffsetText(qint64 offset);
    static QString HexText(const QByteArray& bytes);     // "00 01 … 07  08 … 0F"
    static QString AsciiText(const QByteArray& bytes);   // printable ASCII, '.' for the rest

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    struct TPage {
        qint64 Index;
        QByteArray Bytes;
    };
    const QByteArray& Page(qint64 index) const;

    const qint64 FPageSize;
    const int FCachedPages;
    qint64 FSize = 0;
    QByteArray FMemory;
    std::unique_ptr<QFile> FFile;
    mutable std::list<TPage> FCache;   // most recently used first
    mutable qint64 FPagesRead = 0;
};
