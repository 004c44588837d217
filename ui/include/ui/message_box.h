#pragma once
/// Modal message boxes with one OK button, the requested icon and the
/// application's name as caption: the system's message box on Windows; wx's
/// generic dialog elsewhere, because GTK's native box draws no icon.

#include <wx/string.h>

#include "platform/system_error.h"
#include "resources/messages.h"

class wxWindow;

namespace ui {

/// The application's name: the executable's base name.
wxString ApplicationName();

/// ICON is one of wxICON_ERROR, wxICON_WARNING, wxICON_INFORMATION. Returns
/// when the user has confirmed the box.
void ShowMessageBox(wxWindow* owner, const wxString& text, const wxString& caption, long icon);

/// Numbered message ID, owned by the program's active window if any.
void ShowNumberedMessage(resources::MessageId id);

/// The single-instance box ("Mirvale가 실행중입니다.", caption "Mirvale").
void ShowAlreadyRunning();

/// Shows the text of system error CODE (by default the calling thread's last
/// one, read before anything else runs) with CAPTION and the error icon; does
/// nothing for 0.
void ShowSystemError(const wxString& caption, int code = platform::LastSystemError());

/// The wx icon style for a message's icon.
long IconStyle(resources::MessageIcon icon);

}  // namespace ui
