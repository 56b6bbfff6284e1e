#include "install/action.h"

#include "table/table_parser.h"

const char* Verb(ActionKind kind) {
  switch (kind) {
    case ActionKind::MakeDir:
      return "mkdir";
    case ActionKind::SetAttributes:
      return "attrs";
    case ActionKind::Copy:
      return "copy";
    case ActionKind::Keep:
      return "keep";
    case ActionKind::Link:
      return "link";
    case ActionKind::Remove:
      return "remove";
    case ActionKind::InstallTable:
      return "table";
  }
  return "?";
}

std::string FormatAction(const Action& action) { return std::string(Verb(action.kind)) + " " + Escape(action.name); }
