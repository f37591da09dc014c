// "Disk Image Conversion" on the side bar's Disk Image page: a new image
// converter each time.
#include "main/window/ufrmmain.h"
#include "tools/convert/ufrmconvert.h"

namespace tarnovell {

void Tfrmmain::JvOutlookBar1Pages4Buttons0Click() {
    // Owned by the application, not by this window; it frees itself when closed.
    auto* converter = new Tfrmconvert;
    converter->show();
}

}  // namespace tarnovell
