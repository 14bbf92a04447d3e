#include "console/window/FoldGroup.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

TFoldGroup::TFoldGroup(const QString& title, const QString& name, QWidget* parent) : QWidget(parent)
{
    setObjectName(name);
    FHeader = new QToolButton(this);
    FHeader->setObjectName(name + "Fold");
    FHeader->setText(title);
    FHeader->setAccessibleName(title);
    FHeader->setCheckable(true);
    FHeader->setChecked(true);
    FHeader->setAutoRaise(true);
    FHeader->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    FHeader->setArrowType(Qt::DownArrow);
    FHeader->setFocusPolicy(Qt::StrongFocus);
    QFont bold = FHeader->font();
    bold.setBold(true);
    FHeader->setFont(bold);
    connect(FHeader, &QToolButton::toggled, this, [this](bool open) { SetFolded(!open); });

    FNote = new QLabel(this);
    FNote->setObjectName(name + "Summary");
    FNote->setEnabled(false);
    FNote->hide();

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);

    FBody = new QWidget(this);
    FBody->setObjectName(name + "Body");

    auto* header = new QHBoxLayout;
    header->setContentsMargins(0, 0, 0, 0);
    header->addWidget(FHeader);
    header->addWidget(FNote, 0, Qt::AlignVCenter);
    header->addWidget(line, 1, Qt::AlignVCenter);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 2, 0, 2);
    layout->setSpacing(2);
    layout->addLayout(header);
    layout->addWidget(FBody);
}

void TFoldGroup::SetNote(const QString& note)
{
    FNote->setText(note);
    FNote->setVisible(!note.isEmpty());
}

void TFoldGroup::SetFolded(bool folded)
{
    if (folded == FFolded)
        return;
    FFolded = folded;
    FHeader->setChecked(!folded);
    FHeader->setArrowType(folded ? Qt::RightArrow : Qt::DownArrow);
    FBody->setVisible(!folded);
    emit FoldChanged(folded);
}
