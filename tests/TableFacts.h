// The fourteen tables as the tests expect them, written out by hand rather
// than taken from the declarations: a slip in the catalogue or in a field
// list then shows as a difference.
#pragma once

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace IfaTest {

struct FieldFact {
  std::string name;
  unsigned bits;  // 1 to 6 for Kiva::U1 to U6, else 8 or 32
  std::uint64_t max() const { return (std::uint64_t{1} << bits) - 1; }
  // The field's type as the records name it.
  std::string typeName() const {
    return bits == 8 ? "u8" : bits == 32 ? "u32" : "Kiva::U" + std::to_string(bits);
  }
};

struct TableFact {
  std::string table;  // in CorvaneInt
  std::string module;
  std::string moduleId;
  std::vector<FieldFact> fields;
};

inline std::vector<FieldFact> fieldFacts(std::string const& list) {
  std::vector<FieldFact> out;
  std::istringstream in(list);
  std::string item;
  while (in >> item) {
    auto const colon = item.find(':');
    out.push_back(
        {item.substr(0, colon), static_cast<unsigned>(std::stoul(item.substr(colon + 1)))});
  }
  return out;
}

// In catalogue order.
inline std::vector<TableFact> const& tableFacts() {
  static std::vector<TableFact> const facts{
      {"IfaActionProfile", "IfaActionProfileSwTable", "fc536b73",
       fieldFacts("updateUdpIpHdr:1 useMetadataProfile:1 ifaMetadataProfileId:3 "
                  "metadataInsertMode:3 ifaGns:4 baseHdrType:2 hoplimit:8 maxLength:8 ifaFlags:8 "
                  "initiateLayer:3 byteCountL3Mtu:5 l3MtuCheckFailAction:1")},
      {"IfaActionVector", "IfaActionVectorSwTable", "a8d6bf9a",
       fieldFacts("ifaVersion:4 actionVector:8 ipProtocol:8 requestVector:8")},
      {"IfaEpRecircProfile", "IfaEpRecircProfileSwTable", "99fe30ff",
       fieldFacts("ifaInitEgrRedirectProfileId:5 ifaInitEgrRedirectProfileStrength:4 "
                  "ifaInitAndTermEgrRedirectProfileId:5 ifaInitAndTermEgrRedirectProfileStrength:4 "
                  "ifaTermEgrRedirectProfileId:5 ifaTermEgrRedirectProfileStrength:4 "
                  "fpIngProfile0Strength:4 fpIngProfile1Strength:4")},
      {"IfaEpRecirc", "IfaEpRecircSwTable", "d325aa37",
       fieldFacts("headerType:4 headerSubType:4 valid:1 cos:6 replaceCos:1 ingPortIdMode:2 drop:1 "
                  "truncateMode:2 dropOnMtuError:1")},
      {"IfaMetadataConstructProfile", "IfaMetadataConstructProfileSwTable", "89ede663", {}},
      {"IfaMetadataProfile", "IfaMetadataProfileSwTable", "d34fe928",
       fieldFacts("mdSelectProfileId:3 mdConstructProfileId:3")},
      {"IfaMetadataSelectProfile", "IfaMetadataSelectProfileSwTable", "1308c77", {}},
      {"IfaMonIngRedirectPktProfile", "IfaMonIngRedirectPktProfileSwTable", "2f963839",
       fieldFacts("skipL2Learn:8")},
      {"IfaPktDetection", "IfaPktDetectionSwTable", "c6fdc124",
       fieldFacts("ifaVersion:4 ifaValid:1 probeIpProtocol:8")},
      {"IfaPortSwTable", "IfaPortSwTable", "83e9dbbb", fieldFacts("ifaEnable:1")},
      {"IfaSflowIngSwTable", "IfaSflowIngSwTable", "32d62609",
       fieldFacts("sample:1 sampleRate:32")},
      {"IfaSwitchId", "IfaSwitchIdSwTable", "35178147", fieldFacts("switchId:32")},
      {"IfaTimeOfDay", "IfaTimeOfDaySwTable", "c110c6c", fieldFacts("hwUpdateDisable:32")},
      {"IfaVectorMatch", "IfaVectorMatchSwTable", "d293f097",
       fieldFacts("valid:1 reqVector:32 baseHdr:3")},
  };
  return facts;
}

inline TableFact const& tableFact(std::string_view table) {
  for (auto const& f : tableFacts()) {
    if (f.table == table) return f;
  }
  throw std::invalid_argument("no facts for table " + std::string(table));
}

// The text form of an entry with these field values: nothing without
// fields, the value alone for one field, else (or when `named`) the named
// list.
inline std::string entryText(TableFact const& t, std::vector<std::uint64_t> const& values,
                             bool named = false) {
  if (t.fields.empty()) return "";
  if (t.fields.size() == 1 && !named) return std::to_string(values.at(0));
  std::string text = "CorvaneInt::" + t.table + "::Entry(";
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    text += (i ? ", " : "") + t.fields[i].name + "=" + std::to_string(values.at(i));
  }
  return text + ")";
}

}  // namespace IfaTest
