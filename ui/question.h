#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace ui {

// Asks the user a yes-or-no question; true for Yes. A window asks here before it does
// something the user may not want, such as removing rows.
using Question = std::function<bool(const QString& text)>;

// The real question: a modal message box with Yes and No, No the default, over `owner`.
Question messageBoxQuestion(QWidget* owner);

}  // namespace ui
