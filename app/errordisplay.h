#pragma once

#include <QString>

#include <functional>

// Shows one error: its number and description. The window hands every failure it catches here.
using ErrorDisplay = std::function<void(int number, const QString& description)>;

// The real display: a modal message box titled "Error N" with the description as its text.
ErrorDisplay messageBoxErrorDisplay();
