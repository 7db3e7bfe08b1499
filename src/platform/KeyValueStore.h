#pragma once
// A per-user key/value store with registry-like key paths ("Software\Qor\Vidoria\settings"),
// nested keys and typed values, kept as a UTF-8 INI file:
//
//   [Software\Qor\Vidoria\settings]
//   Gen_Workingfolder=/home/ann/Documents/Vidoria
//
// Up to four instances share the file. Each store remembers its own changes and Save()
// replays them onto the file as it is on disk at that moment, under an exclusive flock,
// writing a temporary file and renaming it, so one instance never wipes out values
// another one wrote meanwhile.

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vidoria {

class TKeyValueStore {
 public:
  using Section = std::map<std::string, std::string>;

  explicit TKeyValueStore(std::filesystem::path file = DefaultFile());

  // $XDG_CONFIG_HOME/Qor/Vidoria/vidoria.ini
  static std::filesystem::path DefaultFile();
  const std::filesystem::path& File() const { return file_; }

  // Reads the file under a shared lock. A missing file is an empty store. A file that
  // cannot be read or is damaged (binary data, invalid UTF-8, lines that are neither
  // sections nor values) leaves the store empty and returns false with the reason.
  // Changes not saved yet are kept on top of what was read.
  bool Load(std::string* error = nullptr);

  std::optional<std::string> ReadString(const std::string& key, const std::string& name) const;
  std::optional<int64_t> ReadInteger(const std::string& key, const std::string& name) const;
  std::optional<bool> ReadBool(const std::string& key, const std::string& name) const;
  std::optional<std::vector<uint8_t>> ReadBinary(const std::string& key, const std::string& name) const;

  bool ValueExists(const std::string& key, const std::string& name) const;
  // True when the key or any key below it holds values.
  bool KeyExists(const std::string& key) const;
  std::vector<std::string> ValueNames(const std::string& key) const;
  // Names of the direct sub-keys of `key`.
  std::vector<std::string> SubKeys(const std::string& key) const;

  void WriteString(const std::string& key, const std::string& name, const std::string& value);
  void WriteInteger(const std::string& key, const std::string& name, int64_t value);
  void WriteBool(const std::string& key, const std::string& name, bool value);
  void WriteBinary(const std::string& key, const std::string& name, const std::vector<uint8_t>& value);
  void DeleteValue(const std::string& key, const std::string& name);
  // Deletes the key with its values and every key below it.
  void DeleteKey(const std::string& key);

  // Replays the pending changes onto the file on disk. On failure the changes stay
  // pending (and in memory) and the reason is returned.
  bool Save(std::string* error = nullptr);
  bool HasPendingChanges() const;

  // Parsing and writing of the file format, exposed for tests and fuzzing.
  static bool Parse(std::string_view text, std::map<std::string, Section>& out, std::string* error);
  static std::string Serialize(const std::map<std::string, Section>& data);

 private:
  struct Change {
    enum class Kind { Set, DeleteValue, DeleteKey } kind;
    std::string key, name, value;
  };
  static void Apply(std::map<std::string, Section>& data, const Change& change);
  void Record(Change change);

  std::filesystem::path file_;
  mutable std::mutex mutex_;
  std::map<std::string, Section> data_;
  std::vector<Change> pending_;
};

}  // namespace vidoria
