#pragma once
/// The dialog templates (XRC, compiled into the program) and the icon.

#include <wx/icon.h>

class wxDialog;
class wxPanel;
class wxWindow;

namespace resources {

/// Dialog template ids; each is the object name in the XRC resources.
inline constexpr const char* kUpdateDialogTemplate = "102";
inline constexpr const char* kWaitPanelTemplate = "131";
inline constexpr const char* kServerSelectTemplate = "133";
inline constexpr int kUpdaterIconId = 130;

/// Registers the XRC handlers and loads every
/// template into wxXmlResource::Get(). Safe to call more than once; false when
/// a template cannot be parsed.
bool LoadDialogTemplates();

/// Builds DIALOG (or PANEL) from template NAME as a child of PARENT; false,
/// with the reason logged, when the template is missing.
bool LoadDialogTemplate(wxDialog* dialog, wxWindow* parent, const char* name);
bool LoadPanelTemplate(wxPanel* panel, wxWindow* parent, const char* name);

/// Icon resource 130.
wxIcon LoadUpdaterIcon();

}  // namespace resources
