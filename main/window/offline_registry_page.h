// The "Offline Registry" page of the Advanced tab (TabSheet13): repairs of
// the SYSTEM hive of another Windows installation, one "Go" a repair, and
// the commands that would work on the running Windows, which say here that
// they cannot. The page and its buttons are the controller's.
#pragma once

#include <QObject>

#include <string>

class QWidget;

namespace tarnovell {

class PageHost;
enum class OfflineRepair;

class OfflineRegistryPage : public QObject {
    Q_OBJECT

public:
    OfflineRegistryPage(PageHost& host, QObject* parent);

    // The page (TabSheet13) for the Advanced tab.
    QWidget* page() const { return page_; }

    void btn_reg1_offClick();
    void btn_reg3_offClick();
    void btn_reg4_offClick();
    void btn_reg5_offClick();
    void Button13Click();
    void Button14Click();
    void Button12Click();
    void Button11Click();
    void btn_reg2_onClick();
    void btn_reg3_onClick();
    void btn_reg4_onClick();
    void btn_reg5_onClick();
    void btn_dump_registryClick();
    void btn_reg_importClick();
    // Tools > "Launch CMD as system".
    void LaunchCMDassystem1Click();

private:
    void AddControls();
    // Asks for the hive, then changes or reads it and says how that went.
    void RunOfflineRegistryRepair(OfflineRepair repair);
    void RunOfflineRegistryRead(std::string (*read)(const std::string&));

    PageHost& host_;
    QWidget* page_ = nullptr;
};

}  // namespace tarnovell
