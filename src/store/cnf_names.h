#pragma once
// The settings record's fields by their names, as text: for a user (the
// headless phone's "config" command) who reads and edits one field at a
// time. Integers and ports are decimal, addresses dotted quads, texts as
// they are.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "store/cnf_data.h"

namespace orvalis::store {

// Every named field, in the order of the record.
std::span<const std::string_view> cnfFieldNames();

// The field's value as text; nothing for an unknown name.
std::optional<std::string> getCnfField(const CnfData& cnf, std::string_view name);

// Sets the field from text. Refused (false, nothing changed): an unknown
// name, an integer that is not a whole decimal int32, a port outside
// 1..65535, an address that is not a dotted quad (255.255.255.255 too), a
// password, SOCKS5 user or SOCKS5 password containing a blank, and the three
// length fields, which follow their texts. Texts are cut to their field's
// size; those three texts also set their length.
bool setCnfField(CnfData& cnf, std::string_view name, std::string_view value);

}  // namespace orvalis::store
