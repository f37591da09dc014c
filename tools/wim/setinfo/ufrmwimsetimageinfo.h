// "WimSetImageInfo": asks which WIM file, image, information element and
// value the hub's "SetInfo" sets. Shown modally; the hub reads its fields
// once it has closed with OK.
#pragma once

#include <QDialog>

#include "main/dialogs/tool_services.h"

class QLineEdit;
class QPushButton;

namespace tarnovell {

class TfrmWimSetImageInfo : public QDialog {
    Q_OBJECT

public:
    explicit TfrmWimSetImageInfo(ToolLink link = {}, QWidget* owner = nullptr);

    QLineEdit* txtattribute = nullptr;
    QLineEdit* txtvalue = nullptr;
    QLineEdit* txtindex = nullptr;
    QLineEdit* txtwim = nullptr;
    QPushButton* btn_ok = nullptr;
    QPushButton* btn_cancel = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    ToolLink services_;
};

}  // namespace tarnovell
