#pragma once

// The main window's own helpers, shared by the source files it is split into
// (the window and its file handling, the calculation, the settings fields).

#include <exception>
#include <string>

#include <QString>

#include "base/EvenorError.h"
#include "ui/Dialogs.h"
#include "ui/Evenor.h"

namespace evenor {

// A field's text as the field checks and the run read it (UTF-8; any
// character outside ASCII makes a number invalid).
inline std::string ToStd(const QString& text) { return text.toStdString(); }

// The error's whole message. EvenorError keeps bytes that what() would cut at
// a NUL (a transfer-syntax UID padded with NUL), and the error box's
// full-stop rule looks at the real last character.
inline QString ErrorText(const std::exception& error)
{
    if (const auto* evenorError = dynamic_cast<const EvenorError*>(&error)) {
        const std::string& message = evenorError->Message();
        return QString::fromLocal8Bit(message.data(), static_cast<qsizetype>(message.size()));
    }
    return QString::fromLocal8Bit(error.what());
}

template <class Handler> void TFormEvenor::Guarded(Handler&& handler)
{
    try {
        handler();
    } catch (const std::exception& error) {
        Dialogs::Error(this, ErrorText(error));
    }
}

}  // namespace evenor
