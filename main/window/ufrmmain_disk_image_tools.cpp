// The side-bar buttons that open the MD5, ISO maker and 7-Zip extractor
// windows. Each click opens a window of its own; each frees itself when
// closed.
#include "main/window/ufrmmain.h"
#include "tools/extractor/ufrm7zextractor.h"
#include "tools/isomaker/ufrmimapi.h"
#include "tools/md5hash/ufrmmd5hash.h"

namespace tarnovell {

void Tfrmmain::JvOutlookBar1Pages4Buttons1Click() {
    auto* window = new Tfrmimapi();  // owned by the application, not this window
    window->show();
}

void Tfrmmain::JvOutlookBar1Pages4Buttons5Click() {
    auto* window = new Tfrm7zExtractor(this);
    window->show();
}

void Tfrmmain::OpenMd5Window() {
    auto* window = new Tfrmmd5hash();
    window->show();
}

}  // namespace tarnovell
