// What the parameter dialogs share: the foreground-on-show behaviour, the
// OK/Cancel row, and small makers that give every control its name.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>

class QBoxLayout;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace tarnovell {

// A dialog that comes to the front and takes the focus when shown, so a
// question never hides behind the main window.
class ParameterDialog : public QDialog {
    Q_OBJECT

public:
    explicit ParameterDialog(QWidget* owner, const QString& caption);

protected:
    void showEvent(QShowEvent* event) override;
    // Adds "OK" (`btnok`, the default button, accepts) and "Cancel"
    // (`btncancel`, rejects; Esc rejects too) at the bottom of `layout`.
    void AddOkCancel(QBoxLayout* layout);
};

QLabel* MakeLabel(const char* name, const QString& text);
QLineEdit* MakeEdit(const char* name, const QString& text = {});
QCheckBox* MakeCheck(const char* name, const QString& text);
QRadioButton* MakeRadio(const char* name, const QString& text, bool checked = false);
QGroupBox* MakeGroup(const char* name, const QString& title);
QPushButton* MakeButton(const char* name, const QString& text);

// A field read as a whole number, blanks around it allowed; nothing when it
// holds anything else.
std::optional<std::int64_t> WholeNumber(const QString& text);

}  // namespace tarnovell
