#include "windows/names.h"

namespace volumes {
namespace {

// Every Name made so far, the last one first.  Null before the first:
// constant, so set before any Name is made.
Name* listed_names = nullptr;

}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(listed_names) {
  listed_names = this;
}

void InternNames() {
  for (Name* name = listed_names; name != nullptr; name = name->next_) {
    name->object_.Reset(
        OwnedRef::StealChecked(PyString_InternFromString(name->text_)));
  }
}

}  // namespace volumes
