// The "Extract" page of the Advanced tab (TabSheet12): its fields and
// buttons, which have never carried a command of their own.
#pragma once

class QWidget;

namespace tarnovell {

QWidget* MakeExtractPage();

}  // namespace tarnovell
