// A titled group of radio buttons with one chosen item, read and set by index.
#pragma once

#include <QGroupBox>

class QButtonGroup;

class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent);

    int ItemIndex() const;
    void SetItemIndex(int index);   // -1 chooses none

private:
    QButtonGroup* group_;
};
