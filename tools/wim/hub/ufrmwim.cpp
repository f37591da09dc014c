#include "tools/wim/hub/ufrmwim.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <exception>
#include <optional>
#include <string>

#include "main/dialogs/dialog_parts.h"
#include "main/dialogs/file_dialog.h"
#include "main/operations/wim_commands.h"
#include "main/operations/wim_image_tools.h"
#include "platform/base/interaction.h"
#include "tools/wim/apply/ufrmapply.h"
#include "tools/wim/capture/ufrmcapture.h"
#include "tools/wim/export/ufrmwimexport.h"
#include "tools/wim/mount/ufrmwimmount.h"
#include "tools/wim/setinfo/ufrmwimsetimageinfo.h"
#include "tools/wim/worker/wim_worker_window.h"

namespace tarnovell {

namespace {

constexpr int kMemoWidth = 460;
constexpr int kMemoHeight = 300;

// An index the user typed, or the box that says why it is refused.
std::optional<int> TypedIndex(const std::string& text) {
    std::string problem;
    std::optional<int> index = ParseImageIndex(text, problem);
    if (!index) WimBox(problem);
    return index;
}

}  // namespace

Tfrmwim::Tfrmwim(ToolLink link, QWidget* owner) : QWidget(owner, Qt::Window), services_(std::move(link)) {
    setObjectName("frmwim");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("WIM Image");

    memo_wim = new QPlainTextEdit;
    memo_wim->setObjectName("memo_wim");
    memo_wim->setReadOnly(true);
    memo_wim->setMinimumSize(kMemoWidth, kMemoHeight);

    btn_wiminfo = MakeButton("btn_wiminfo", "Get Infos");
    btn_wimcapture = MakeButton("btn_wimcapture", "Capture");
    btn_wimapply = MakeButton("btn_wimapply", "Apply");
    btn_wimexport = MakeButton("btn_wimexport", "Export");
    btn_wimsetboot = MakeButton("btn_wimsetboot", "SetBoot");
    Button3 = MakeButton("Button3", "SetInfo");
    btn_wimmount = MakeButton("btn_wimmount", "Mount");
    btn_wimgapi_dll = MakeButton("btn_wimgapi_dll", "DLL");
    connect(btn_wiminfo, &QPushButton::clicked, this, &Tfrmwim::btn_wiminfoClick);
    connect(btn_wimcapture, &QPushButton::clicked, this, &Tfrmwim::btn_wimcaptureClick);
    connect(btn_wimapply, &QPushButton::clicked, this, &Tfrmwim::btn_wimapplyClick);
    connect(btn_wimexport, &QPushButton::clicked, this, &Tfrmwim::btn_wimexportClick);
    connect(btn_wimsetboot, &QPushButton::clicked, this, &Tfrmwim::btn_wimsetbootClick);
    connect(Button3, &QPushButton::clicked, this, &Tfrmwim::Button3Click);
    connect(btn_wimmount, &QPushButton::clicked, this, &Tfrmwim::btn_wimmountClick);
    connect(btn_wimgapi_dll, &QPushButton::clicked, this, &Tfrmwim::btn_wimgapi_dllClick);

    auto* buttons = new QVBoxLayout;
    for (QPushButton* button : {btn_wiminfo, btn_wimcapture, btn_wimapply, btn_wimexport, btn_wimsetboot, Button3,
                                btn_wimmount, btn_wimgapi_dll})
        buttons->addWidget(button);
    buttons->addStretch(1);
    auto* content = new QHBoxLayout;
    content->addWidget(memo_wim, 1);
    content->addLayout(buttons);

    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    auto* margins = new QWidget;
    margins->setLayout(content);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(margins, 1);
    layout->addWidget(StatusBar1);
}

bool Tfrmwim::OpenWim(const char* filter, std::string& file) {
    return RunFileDialog(this, "", filter, true, file, "", "");
}

void Tfrmwim::ShowOwned(QWidget* window) {
    if (auto* worker = qobject_cast<WimWorkerWindow*>(window))
        connect(worker, &WimWorkerWindow::RunEnded, this, [this] {
            if (close_when_idle_) QTimer::singleShot(0, this, &QWidget::close);
        });
    window->show();
}

void Tfrmwim::btn_wimcaptureClick() { ShowOwned(new Tfrmcapture(services_, this)); }
void Tfrmwim::btn_wimapplyClick() { ShowOwned(new Tfrmapply(services_, this)); }
void Tfrmwim::btn_wimexportClick() { ShowOwned(new Tfrmwimexport(services_, this)); }
void Tfrmwim::btn_wimmountClick() { ShowOwned(new Tfrmwimmount(services_, this)); }

void Tfrmwim::btn_wiminfoClick() {
    memo_wim->clear();
    std::string file;
    if (!OpenWim(kWimOrEsdFilter, file)) return;
    try {
        memo_wim->appendPlainText(QString::fromStdString(WimInformationText(file)));
    } catch (const std::exception& e) {
        WimBox(e.what());
    }
}

void Tfrmwim::btn_wimsetbootClick() {
    std::string file;
    if (!OpenWim(kWimFilter, file)) return;
    std::optional<std::string> typed = platform::AskText("Enter Index of WIM Image", "1");
    if (!typed || typed->empty()) return;
    const std::optional<int> index = TypedIndex(*typed);
    if (!index) return;
    try {
        const WimCommandResult result = SetWimBootImage(file, *index);
        if (result.ok) StatusBar1->showMessage(QString::fromStdString(result.text));
        else WimBox(result.text);
    } catch (const std::exception& e) {
        WimBox(e.what());
    }
}

void Tfrmwim::Button3Click() {
    std::string attribute, value, index_text, file;
    {
        TfrmWimSetImageInfo dialog(services_, this);
        if (dialog.exec() != QDialog::Accepted) return;
        attribute = dialog.txtattribute->text().toStdString();
        value = dialog.txtvalue->text().toStdString();
        index_text = dialog.txtindex->text().toStdString();
        file = dialog.txtwim->text().toStdString();
    }
    if (file.empty() || index_text.empty()) return;
    const std::optional<int> index = TypedIndex(index_text);
    if (!index) return;
    try {
        const WimCommandResult result = SetWimImageInformation(file, *index, attribute, value);
        if (result.ok) StatusBar1->showMessage(QString::fromStdString(result.text));
        else WimBox(result.text);
    } catch (const std::exception& e) {
        WimBox(e.what());
    }
}

void Tfrmwim::btn_wimgapi_dllClick() {
    memo_wim->clear();
    const WimgapiDescription description = DescribeWimgapi();
    if (!description.ok) return WimBox(description.problem);
    for (const std::string& line : description.lines) memo_wim->appendPlainText(QString::fromStdString(line));
}

void Tfrmwim::closeEvent(QCloseEvent* event) {
    // The windows this hub owns go with it; one whose worker runs stops it
    // and goes once it has ended, and the hub waits for that.
    bool waiting = false;
    for (WimWorkerWindow* window : findChildren<WimWorkerWindow*>(Qt::FindDirectChildrenOnly))
        if (window->running()) {
            window->close();
            waiting = true;
        }
    if (waiting) {
        close_when_idle_ = true;
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

}  // namespace tarnovell
