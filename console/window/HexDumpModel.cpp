#include "console/window/HexDumpModel.h"

#include <QFontDatabase>

#include <algorithm>
#include <climits>

THexDumpModel::THexDumpModel(QObject* parent, qint64 pageSize, int cachedPages)
    : QAbstractTableModel(parent)
    , FPageSize(std::max<qint64>(pageSize, BytesPerRow) / BytesPerRow * BytesPerRow)
    , FCachedPages(std::max(cachedPages, 1))
{
}

bool THexDumpModel::SetFile(const QString& path)
{
    beginResetModel();
    FMemory.clear();
    FCache.clear();
    FSize = 0;
    FFile = std::make_unique<QFile>(path);
    const bool opened = FFile->open(QIODevice::ReadOnly);
    if (opened)
        FSize = FFile->size();
    else
        FFile.reset();
    endResetModel();
    return opened;
}

void THexDumpModel::SetBytes(const QByteArray& bytes)
{
    beginResetModel();
    FFile.reset();
    FCache.clear();
    FMemory = bytes;
    FSize = bytes.size();
    endResetModel();
}

void THexDumpModel::Clear()
{
    SetBytes({});
}

const QByteArray& THexDumpModel::Page(qint64 index) const
{
    for (auto it = FCache.begin(); it != FCache.end(); ++it) {
        if (it->Index == index) {
            FCache.splice(FCache.begin(), FCache, it);
            return FCache.front().Bytes;
        }
    }
    QByteArray bytes;
    if (FFile && FFile->seek(index * FPageSize))
        bytes = FFile->read(FPageSize);
    ++FPagesRead;
    FCache.push_front({index, std::move(bytes)});
    if (static_cast<int>(FCache.size()) > FCachedPages)
        FCache.pop_back();
    return FCache.front().Bytes;
}

QByteArray THexDumpModel::Bytes(qint64 offset, qint64 length) const
{
    if (offset < 0 || length <= 0 || offset >= FSize)
        return {};
    length = std::min(length, FSize - offset);
    if (!FFile)
        return FMemory.mid(offset, length);
    QByteArray out;
    out.reserve(length);
    while (length > 0) {
        const QByteArray& page = Page(offset / FPageSize);
        const qint64 within = offset % FPageSize;
        if (within >= page.size())
            break;   // the file ended early or could not be read
        const qint64 take = std::min(length, page.size() - within);
        out.append(page.constData() + within, take);
        offset += take;
        length -= take;
    }
    return out;
}

QString THexDumpModel::OffsetText(qint64 offset)
{
    return QStringLiteral("%1").arg(offset, 8, 16, QLatin1Char('0')).toUpper();
}

QString THexDumpModel::HexText(const QByteArray& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    text.reserve(BytesPerRow * 3 + 1);
    for (int i = 0; i < BytesPerRow; ++i) {
        if (i > 0)
            text += i == BytesPerRow / 2 ? QStringLiteral("  ") : QStringLiteral(" ");
        if (i < bytes.size()) {
            const auto b = static_cast<unsigned char>(bytes[i]);
            text += QLatin1Char(digits[b >> 4]);
            text += QLatin1Char(digits[b & 15]);
        } else {
            text += QStringLiteral("  ");   // a short last row keeps the columns lined up
        }
    }
    return text;
}

QString THexDumpModel::AsciiText(const QByteArray& bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text += (b >= 0x20 && b < 0x7f) ? QLatin1Char(static_cast<char>(b)) : QLatin1Char('.');
    }
    return text;
}

int THexDumpModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return static_cast<int>(std::min<qint64>((FSize + BytesPerRow - 1) / BytesPerRow, INT_MAX));
}

int THexDumpModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant THexDumpModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    if (role == Qt::FontRole)
        return QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (role != Qt::DisplayRole)
        return {};
    const qint64 offset = static_cast<qint64>(index.row()) * BytesPerRow;
    switch (index.column()) {
    case OffsetColumn:
        return OffsetText(offset);
    case HexColumn:
        return HexText(Bytes(offset, BytesPerRow));
    case AsciiColumn:
        return AsciiText(Bytes(offset, BytesPerRow));
    }
    return {};
}

QVariant THexDumpModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case OffsetColumn:
        return QStringLiteral("オフセット");
    case HexColumn:
        return QStringLiteral("16 進");
    case AsciiColumn:
        return QStringLiteral("ASCII");
    }
    return {};
}
