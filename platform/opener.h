// Opens files with the user's default application and shows them in the file browser.
#pragma once

#include <string>
#include <vector>

namespace tolverdine {

class Opener {
 public:
  virtual ~Opener() = default;
  /// Starts the program and returns; false when it could not be started.
  virtual bool open(const std::string& path) = 0;
  /// Shows the folder that holds path.
  virtual bool reveal(const std::string& path) = 0;
};

/// xdg-open, started without a shell and never waited for.
class XdgOpener : public Opener {
 public:
  explicit XdgOpener(std::string program = "xdg-open") : program_(std::move(program)) {}
  bool open(const std::string& path) override;
  bool reveal(const std::string& path) override;

 private:
  std::string program_;
};

class FakeOpener : public Opener {
 public:
  std::vector<std::string> opened, revealed;
  bool answer = true;
  bool open(const std::string& path) override {
    opened.push_back(path);
    return answer;
  }
  bool reveal(const std::string& path) override {
    revealed.push_back(path);
    return answer;
  }
};

}  // namespace tolverdine
