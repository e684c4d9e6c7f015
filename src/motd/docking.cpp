#include "docking.h"

#include <QVBoxLayout>

namespace {
const char* const kSheetName = "tabsheet";
}

TPageControlEx::TPageControlEx(QWidget* parent) : QTabWidget(parent) {}

QWidget* TPageControlEx::DockForm(QWidget* form)
{
    RemoveEmptySheets();
    auto* sheet = new QWidget;
    sheet->setObjectName(kSheetName);
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    form->setParent(sheet, Qt::Widget);
    layout->addWidget(form);
    addTab(sheet, form->windowTitle());
    form->show();
    return sheet;
}

TPageControlEx* TPageControlEx::OfSheet(QWidget* sheet)
{
    if (!sheet || sheet->objectName() != kSheetName)
        return nullptr;
    // A sheet lives in the page control's page stack.
    for (QWidget* w = sheet->parentWidget(); w; w = w->parentWidget())
        if (auto* pages = dynamic_cast<TPageControlEx*>(w))
            return pages->indexOf(sheet) >= 0 ? pages : nullptr;
    return nullptr;
}

void TPageControlEx::RemoveEmptySheets()
{
    for (int i = count() - 1; i >= 0; --i) {
        QWidget* sheet = widget(i);
        if (sheet->objectName() == kSheetName && sheet->findChildren<QWidget*>(Qt::FindDirectChildrenOnly).isEmpty()) {
            removeTab(i);
            sheet->deleteLater();
        }
    }
}
