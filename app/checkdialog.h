#pragma once

#include <functional>
#include <optional>

class QWidget;

// What Check Files is to read: the files of the current view or those below a folder that is
// picked next, and whether to look for re-encoded files too, which costs decoding.
struct CheckChoice {
  bool belowFolder = false;
  bool spectral = false;
};

// Asks for the choice; nullopt when the user cancelled.
using CheckDialog = std::function<std::optional<CheckChoice>(QWidget* parent)>;

// The real question, a small modal dialog. The view is the first choice, and the re-encode
// analysis is off, each time.
std::optional<CheckChoice> askCheckChoice(QWidget* parent);
