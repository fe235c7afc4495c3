// tavinor_encipher_file: turns a plain source file into the enciphered file the
// program ships (the same cipher as every data file), for the build.
//
//   tavinor_encipher_file [--crlf] <plain input> <enciphered output>
//
// --crlf writes every line end as CR LF, the separator that the resource-text
// reader splits on, whatever line ends the source was saved with.
// Exit status 0 on success; 1 with a message on stderr otherwise, leaving no
// partial output behind.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "clsGenEncryption.h"

namespace {

std::string readWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw std::runtime_error("cannot read " + path.string());
  return content.str();
}

// Every LF, CR LF or lone CR becomes CR LF.
std::string withCrLfLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\r\n";
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

// Writes beside the target first, so a failed run never leaves a truncated file
// that a later build would take as up to date.
void writeWholeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::path partial = path;
  partial += ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create " + partial.string());
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(partial, ignored);
      throw std::runtime_error("cannot write " + partial.string());
    }
  }
  std::filesystem::rename(partial, path);
}

int usage() {
  std::fputs("usage: tavinor_encipher_file [--crlf] <plain input> <enciphered output>\n", stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool crlf = false;
  int first = 1;
  if (argc > 1 && std::string_view(argv[1]) == "--crlf") {
    crlf = true;
    first = 2;
  }
  if (argc - first != 2) return usage();
  try {
    std::string text = readWholeFile(argv[first]);
    if (crlf) text = withCrLfLineEnds(text);
    writeWholeFile(argv[first + 1], GenEncryption().EncryptString(text));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavinor_encipher_file: %s\n", e.what());
  } catch (...) {
    std::fputs("tavinor_encipher_file: enciphering failed\n", stderr);
  }
  return 1;
}
