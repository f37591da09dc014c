// "Create Partition": the offset, size, type and boot flag of a new
// partition; the partition editor also asks a new type through it, with
// everything but the type hidden. Modal; the caller owns it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "main/dialogs/dialog_parts.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace tarnovell {

class Tfrmcreatepart : public ParameterDialog {
    Q_OBJECT

public:
    explicit Tfrmcreatepart(QWidget* owner = nullptr);

    // The type list and the name chosen at first.
    void SetTypes(const std::vector<std::string>& names, const std::string& selected);
    // Only the type is asked: offset, size, their labels and Boot are hidden.
    void AskTypeOnly(const QString& caption);

    std::string type_name() const;
    bool boot() const;
    // Nothing when the field holds no number.
    std::optional<std::int64_t> offset() const;
    std::optional<std::int64_t> size_mb() const;

    QLabel* lbloffset = nullptr;
    QLineEdit* txtoffset = nullptr;
    QLabel* lblsize = nullptr;
    QLineEdit* txtsize = nullptr;
    QLabel* lbltype = nullptr;
    QComboBox* cmb_type = nullptr;
    QCheckBox* chkboot = nullptr;

protected:
    // Characters typed on the type list are dropped: only its entries can be chosen.
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace tarnovell
