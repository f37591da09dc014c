#include "main/dialogs/dlg_about.h"

#include <QDesktopServices>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

#include <cctype>
#include <sstream>

#include "main/operations/main_state.h"
#include "platform/base/ascii.h"
#include "platform/base/ini_file.h"
#include "platform/os/system_facts.h"

namespace tarnovell {

namespace {

// Where the two links of the About window lead.
const QUrl kProjectPage("https://tarnovell.example/");
const QUrl kProblemMail("mailto:support@tarnovell.example?subject=Tarnovell%20problem");

}  // namespace

std::string HalText(const std::string& dmi_product_name) {
    std::string text = dmi_product_name;
    for (char& c : text)
        if (c == '\0') c = '\n';
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return "Hal:" + text;
}

std::string ProcessorDetails(const std::string& machine, const std::string& cpuinfo) {
    std::istringstream lines(cpuinfo);
    std::string model;
    for (std::string line; std::getline(lines, line);) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || platform::Trim(line.substr(0, colon)) != "model name") continue;
        model = platform::Trim(line.substr(colon + 1));
        break;
    }
    return machine + " - " + model;
}

LinkLabel::LinkLabel(const char* name, const QString& text, const QUrl& address) : QLabel(text), address_(address) {
    setObjectName(name);
    setCursor(Qt::PointingHandCursor);
    setToolTip(address.toString());
}

void LinkLabel::SetUnderline(bool underline) {
    QFont shown = font();
    shown.setUnderline(underline);
    setFont(shown);
}

void LinkLabel::enterEvent(QEnterEvent* event) {
    SetUnderline(true);
    QLabel::enterEvent(event);
}

void LinkLabel::leaveEvent(QEvent* event) {
    SetUnderline(false);
    QLabel::leaveEvent(event);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked(address_);
}

TfrmAbout::TfrmAbout(QWidget* owner, const std::string& main_caption, const std::string& program_folder)
    : ParameterDialog(owner, "About"), main_caption_(main_caption), program_folder_(program_folder) {
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    Label3 = MakeLabel("Label3", "version");
    Label4 = MakeLabel("Label4", "Hal:");
    Label5 = MakeLabel("Label5", "Processor details:");
    Label6 = MakeLabel("Label6", "");
    for (QLabel* label : {Label4, Label6}) label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    for (QLabel* label : {Label3, Label4, Label5, Label6}) layout->addWidget(label);
    lblweb = new LinkLabel("lblweb", "Tarnovell project page", kProjectPage);
    lblmail = new LinkLabel("lblmail", "Report a problem by mail", kProblemMail);
    for (LinkLabel* link : {lblweb, lblmail}) {
        connect(link, &LinkLabel::clicked, this, [](const QUrl& address) { QDesktopServices::openUrl(address); });
        layout->addWidget(link);
    }
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    QPushButton* ok = MakeButton("btnok", "OK");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::close);
    row->addWidget(ok);
    layout->addLayout(row);
}

void TfrmAbout::showEvent(QShowEvent* event) {
    FormShow();
    ParameterDialog::showEvent(event);
}

void TfrmAbout::FormShow() {
    Label4->setText(QString::fromStdString(HalText(platform::MachineProductName())));
    Label5->setText("Processor details:");
    Label6->setText(QString::fromStdString(ProcessorDetails(platform::MachineArchitecture(),
                                                            platform::ProcessorDescription())));
    Label3->setText(QString::fromStdString(main_caption_));
    LoadPosition();
}

void TfrmAbout::LoadPosition() {
    const std::string path = FindInProgramFolder(program_folder_, "config.INI");
    // A missing or damaged file or value leaves the window where it is.
    const platform::IniFile ini = platform::IniFile::Load(path);
    if (!ini.HasSection("frmAbout")) return;
    const long long top = ini.GetInt("frmAbout", "top", y());
    const long long left = ini.GetInt("frmAbout", "left", x());
    move(static_cast<int>(left), static_cast<int>(top));
}

}  // namespace tarnovell
