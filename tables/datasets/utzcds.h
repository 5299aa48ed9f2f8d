// The dataset with its properties published and field access by field
// name, a field's value given as DBF-style text.
#pragma once
#include <string>

#include "tables/datasets/ucommon.h"

class TTzCDataSet : public TTzDataSet {
 public:
  using TTzDataSet::TTzDataSet;

  // Opens the table read-only; nothing can be changed through the dataset.
  bool ReadOnly = false;

  // Writes the engine's typed user record over the current record (in
  // shared use the caller holds its record lock) and shows the record the
  // engine stands on then; an edit ends without a post. The write for
  // values set by name, which reach the typed record at once.
  void ReplaceRec();

  // Each finds the field by the first 10 characters of `name` and raises
  // the framework's "Field '...' not found" for none.
  // The value as DBF text: numbers right-aligned and text left-aligned in
  // the field's width, "T"/"F", a date text or the blank date, memo text.
  std::string FieldStr(const std::string& name);
  bool FieldBool(const std::string& name);
  // Each puts the dataset into edit first unless it edits or inserts.
  void SetFieldStr(const std::string& name, const std::string& value);
  void SetFieldBool(const std::string& name, bool value);
  void SetFieldInt(const std::string& name, int32_t value);

 protected:
  bool GetCanModify() override { return !ReadOnly; }

 private:
  TField& NamedField(const std::string& name) { return FieldByName(name.substr(0, 10)); }
};
