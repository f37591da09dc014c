// The window of one dialog-engine form: the message line and page
// indicator at the top, the items in their order with the engine's gaps,
// and the Continue, Skip and Cancel buttons at the bottom.
#pragma once

#include <QDialog>
#include <map>

#include "crashreport/forms/nv_assistant.h"

class QLabel;
class QPushButton;
class QTimer;

namespace crashreport {

class FormWindow : public QDialog, public FormView {
public:
    explicit FormWindow(TNVForm& form);
    ~FormWindow() override;
    int RunModal();

    void ItemChanged(TNVItem& item) override;
    void ContinueStateChanged() override;
    QWidget* WidgetOf(const std::string& item_name) const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildItems();
    void Sync(TNVItem& item);
    void MainButton(int result);

    TNVForm& form_;
    std::map<TNVItem*, QWidget*> widgets_;
    QTimer* timer_ = nullptr;
    bool finishing_ = false;
};

// Installs the presenter that shows forms in these windows.
void InstallFormWindows();

}  // namespace crashreport
