#include "main/dialogs/dialog_parts.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>


namespace tarnovell {

namespace {

template <class Widget>
Widget* Named(Widget* widget, const char* name) {
    widget->setObjectName(name);
    return widget;
}

}  // namespace

ParameterDialog::ParameterDialog(QWidget* owner, const QString& caption) : QDialog(owner) {
    setWindowTitle(caption);
}

void ParameterDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    raise();
    activateWindow();
}

void ParameterDialog::AddOkCancel(QBoxLayout* layout) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    QPushButton* ok = MakeButton("btnok", "OK");
    ok->setDefault(true);
    QPushButton* cancel = MakeButton("btncancel", "Cancel");
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    row->addWidget(ok);
    row->addWidget(cancel);
    layout->addLayout(row);
}

QLabel* MakeLabel(const char* name, const QString& text) { return Named(new QLabel(text), name); }

QLineEdit* MakeEdit(const char* name, const QString& text) { return Named(new QLineEdit(text), name); }

QCheckBox* MakeCheck(const char* name, const QString& text) { return Named(new QCheckBox(text), name); }

QRadioButton* MakeRadio(const char* name, const QString& text, bool checked) {
    auto* radio = Named(new QRadioButton(text), name);
    radio->setChecked(checked);
    return radio;
}

QGroupBox* MakeGroup(const char* name, const QString& title) { return Named(new QGroupBox(title), name); }

QPushButton* MakeButton(const char* name, const QString& text) {
    auto* button = Named(new QPushButton(text), name);
    // Only OK is the default button; Qt would otherwise make any focused
    // push button answer Enter.
    button->setAutoDefault(false);
    return button;
}

std::optional<std::int64_t> WholeNumber(const QString& text) {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok, 10);
    if (!ok) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

}  // namespace tarnovell
