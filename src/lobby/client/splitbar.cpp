#include "splitbar.h"

#include <QMouseEvent>
#include <QPainter>

TSplitBar::TSplitBar(QWidget* below, QWidget* parent) : QWidget(parent), below_(below)
{
    setCursor(Qt::SizeVerCursor);
}

void TSplitBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    if (OnPaint)
        OnPaint(painter);
}

void TSplitBar::mousePressEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton)
        return;
    dragStartY_ = int(e->globalPosition().y());
    startHeight_ = below_->height();
}

void TSplitBar::mouseMoveEvent(QMouseEvent* e)
{
    if (dragStartY_ < 0)
        return;
    int limit = parentWidget() ? parentWidget()->height() - height() - MinSize : startHeight_;
    int h = startHeight_ - (int(e->globalPosition().y()) - dragStartY_);
    h = std::max(MinSize, std::min(h, std::max(MinSize, limit)));
    if (h != below_->height()) {
        below_->setFixedHeight(h);
        if (OnMoved)
            OnMoved();
    }
}

void TSplitBar::mouseReleaseEvent(QMouseEvent*) { dragStartY_ = -1; }
