// The bar between the public and the game chat panes. Dragging it resizes
// the pane below it (never below the minimum size) while the mouse moves.
#pragma once

#include <QWidget>

#include <functional>

class TSplitBar : public QWidget {
    Q_OBJECT
public:
    TSplitBar(QWidget* below, QWidget* parent);

    int MinSize = 50;
    std::function<void(QPainter&)> OnPaint;
    std::function<void()> OnMoved;

protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    QWidget* below_;
    int dragStartY_ = -1;
    int startHeight_ = 0;
};
