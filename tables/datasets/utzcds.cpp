#include "tables/datasets/utzcds.h"

#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"

void TTzCDataSet::ReplaceRec() {
  PutBackEditBase();
  SelectArea("ReplaceRec");
  Replace();
  LeaveHiddenRecord();
  ResyncFromEngine();
}

std::string TTzCDataSet::FieldStr(const std::string& name) {
  TField& f = NamedField(name);
  const size_t width = size_t(f.Size());
  switch (f.DataType()) {
    case TFieldType::ftInteger:
    case TFieldType::ftFloat: {
      std::string s = f.AsString();
      if (s.size() < width) s.insert(0, width - s.size(), ' ');
      return s;
    }
    case TFieldType::ftBoolean: return f.AsBoolean() ? "T" : "F";
    case TFieldType::ftDate: {
      std::string s = f.AsString();
      return s.size() == 8 || s.size() == 10 ? s : BlankDate(Engine().dates.DateFormat);
    }
    case TFieldType::ftMemo: return f.AsString();
    default: return PadR(f.AsString(), int(width));
  }
}

bool TTzCDataSet::FieldBool(const std::string& name) { return NamedField(name).AsBoolean(); }

void TTzCDataSet::SetFieldStr(const std::string& name, const std::string& value) {
  Edit();
  NamedField(name).SetAsString(value);
}

void TTzCDataSet::SetFieldBool(const std::string& name, bool value) {
  Edit();
  NamedField(name).SetAsBoolean(value);
}

void TTzCDataSet::SetFieldInt(const std::string& name, int32_t value) {
  Edit();
  NamedField(name).SetAsInteger(value);
}
