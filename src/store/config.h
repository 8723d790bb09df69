#pragma once
// CConfig: where the phone's files live, and loading and saving of the
// settings record.

#include <cstdint>
#include <string>

#include "store/cnf_data.h"

namespace orvalis::store {

inline constexpr char cnfFileName[] = "phone201.cnf";
inline constexpr char usersFileName[] = "users201.txt";
inline constexpr char musicDirName[] = "nokia";
inline constexpr std::uint16_t defaultServerPort = 3393;
inline constexpr char defaultServerAddress[] = "127.0.0.1";

// The base directory: the working directory with a trailing "/".
std::string currentDirectory();

// Puts the defaults into a record (zero-filled first).
void setDefaults(CnfData& cnf);

class CConfig {
 public:
  // Computes the paths under baseDir (a trailing "/" is added when missing),
  // fills cnf with the defaults and loads the file.
  CConfig(CnfData& cnf, CnfData& cnfEdit, std::string baseDir = currentDirectory());

  // Reads the file over cnf (creating it with the defaults when missing; a
  // FIFO or device in its place is not read) and copies cnf into cnfEdit.
  void load();
  // Writes cnf whole, atomically; false when the file could not be written
  // (the old file then stays as it was).
  bool save();
  // Puts the default melody of slot 0..3 into cnf and cnfEdit; other slots
  // change nothing.
  void setDefaultMelody(std::int32_t slot);

  const std::string dir;
  const std::string musicDir;
  const std::string cnfPath;
  const std::string usersPath;

 private:
  CnfData& cnf_;
  CnfData& cnfEdit_;
};

}  // namespace orvalis::store
