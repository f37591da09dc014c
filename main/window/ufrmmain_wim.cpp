// "WIM Image" on the "Disk Image" page: the WIM hub, from which the capture,
// apply, export, mount and image-information windows are opened.
#include "main/window/ufrmmain.h"
#include "tools/wim/hub/ufrmwim.h"

namespace tarnovell {

void Tfrmmain::JvOutlookBar1Pages4Buttons2Click() {
    // Owned by the application, not by this window, and freed when closed:
    // a new hub on every click.
    auto* hub = new Tfrmwim;
    hub->show();
}

}  // namespace tarnovell
