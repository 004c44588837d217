#include <wx/dialog.h>
#include <wx/log.h>
#include <wx/mstream.h>
#include <wx/panel.h>
#include <wx/xml/xml.h>
#include <wx/xrc/xh_all.h>
#include <wx/xrc/xmlres.h>

#include <cstddef>
#include <memory>

#include "resources/templates.h"

extern const char xrc_update_dialog[];
extern const std::size_t xrc_update_dialog_size;
extern const char xrc_wait_panel[];
extern const std::size_t xrc_wait_panel_size;
extern const char xrc_server_select[];
extern const std::size_t xrc_server_select_size;

namespace resources {

namespace {

bool LoadTemplate(const char* data, std::size_t size) {
  wxMemoryInputStream stream(data, size);
  auto document = std::make_unique<wxXmlDocument>();
  if (!document->Load(stream, "UTF-8")) return false;
  return wxXmlResource::Get()->LoadDocument(document.release());
}

}  // namespace

bool LoadDialogTemplates() {
  static bool loaded = false;
  if (loaded) return true;
  wxXmlResource* xrc = wxXmlResource::Get();
  xrc->InitAllHandlers();
  loaded = LoadTemplate(xrc_update_dialog, xrc_update_dialog_size) &&
           LoadTemplate(xrc_wait_panel, xrc_wait_panel_size) &&
           LoadTemplate(xrc_server_select, xrc_server_select_size);
  return loaded;
}

bool LoadDialogTemplate(wxDialog* dialog, wxWindow* parent, const char* name) {
  if (LoadDialogTemplates() && wxXmlResource::Get()->LoadDialog(dialog, parent, name)) return true;
  wxLogError("dialog template %s is missing", name);
  return false;
}

bool LoadPanelTemplate(wxPanel* panel, wxWindow* parent, const char* name) {
  if (LoadDialogTemplates() && wxXmlResource::Get()->LoadPanel(panel, parent, name)) return true;
  wxLogError("dialog template %s is missing", name);
  return false;
}

}  // namespace resources
