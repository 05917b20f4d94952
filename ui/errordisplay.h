#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace ui {

// Shows one error: its number and description. A window hands every failure it catches here.
using ErrorDisplay = std::function<void(int number, const QString& description)>;

// The real display: a modal message box titled "Error N" with the description as its text,
// over `owner` while it exists, otherwise over the active window.
ErrorDisplay messageBoxErrorDisplay(QWidget* owner = nullptr);

}  // namespace ui
