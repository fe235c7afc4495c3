// Data files against the same bytes handled raw, in the same run: saving and
// loading an enciphered received-message file of 100,000 messages, next to
// serialising the same document with pugixml and writing the bytes as they
// are (flushed to disk as the save is), and reading those bytes back and
// parsing them with pugixml. The cipher alone is measured against a plain
// copy of the same bytes. Prints a ratio table (data file / raw) last.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cstdio>
#include <string>
#include <vector>

#include "PoolLoan.h"
#include "RatioReport.h"
#include "clsGenAPI.h"
#include "clsGenEncryption.h"
#include "clsGenObject.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace {

constexpr int kMessages = 100'000;
constexpr int32_t kMessRec = modGlobalVariables::MessRec;

struct Fixture {
  std::string owner;
  std::string dataFile;  // the enciphered D008.dat
  std::string rawFile;   // the plain XML text of the same document
  std::string xml;       // that text in memory
  std::string enciphered;
  modGlobalFunctions::GenObjectRef messages;
};

Fixture& fixture() {
  static Fixture made = [] {
    Fixture f;
    {
      PoolLoan accounts(modGlobalVariables::LocalUser);
      f.owner = accounts->CreateNewRow(true, 0);
      accounts->SetField(9, "BENCH");
      accounts->AddCurrentRow();
      accounts->SaveXMLDoc();
    }
    modGlobalVariables::CurrentLocalUserUID = f.owner;

    f.messages = modGlobalFunctions::GetUserDataObject(kMessRec, f.owner, true);
    const std::string sender = clsGenAPI::CreateGUID();
    const std::vector<int32_t> fields = {1, 2, 3, 4, 5, 6, 8};
    for (int i = 0; i < kMessages; ++i) {
      f.messages->CreateNewRow(true, 0);
      f.messages->SetFields(fields, {sender, "60", "2024-05-01 10:00:00",
                                     "Hello, this is message " + std::to_string(i) +
                                         " about the weekly meeting.||%_CRLF_%||"
                                         "Please bring the figures of the last quarter "
                                         "and the notes of the previous session.",
                                     "1", "0", "0"});
      f.messages->AddCurrentRow();
    }
    f.messages->SaveXMLDoc();
    f.xml = modGenFunctionsXML::XMLToString(f.messages->XMLDocLinked()->documentNode());
    f.enciphered = GenEncryption().EncryptString(f.xml);
    const std::string folder = qEnvironmentVariable("TAVINOR_DATA_ROOT").toStdString() + "/BENCH";
    f.dataFile = folder + "/D008.dat";
    f.rawFile = folder + "/raw.xml";
    return f;
  }();
  return made;
}

void writeFlushed(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written <= 0) std::abort();
    done += static_cast<std::size_t>(written);
  }
  ::fsync(fd);
  ::close(fd);
}

std::string readWhole(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) std::abort();
  std::string content(static_cast<std::size_t>(info.st_size), '\0');
  for (std::size_t done = 0; done < content.size();) {
    const ssize_t got = ::read(fd, content.data() + done, content.size() - done);
    if (got <= 0) std::abort();
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return content;
}

class StringWriter : public pugi::xml_writer {
 public:
  void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
  std::string text;
};

// Each save writes the whole file: rewriting the root's owner attribute is a
// change that only a whole rewrite can express.
void dataFileSave(benchmark::State& state) {
  clsGenObject& messages = *fixture().messages;
  const pugi::xml_node root = messages.XMLDocLinked()->rootElement();
  const std::string owner = root.attribute("OU").value();
  for (auto _ : state) {
    clsGenXMLDocument::setAttribute(root, "OU", owner);
    messages.SaveXMLDoc();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fixture().xml.size()));
}

void rawSave(benchmark::State& state) {
  const pugi::xml_node document = fixture().messages->XMLDocLinked()->documentNode();
  for (auto _ : state) {
    StringWriter writer;
    document.print(writer, "", pugi::format_raw | pugi::format_no_declaration);
    writeFlushed(fixture().rawFile, writer.text);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fixture().xml.size()));
}

void dataFileLoad(benchmark::State& state) {
  for (auto _ : state) {
    auto messages = modGlobalFunctions::GetUserDataObject(kMessRec, fixture().owner, true);
    benchmark::DoNotOptimize(messages->XMLDocLinked()->rootElement());
  }
  // Counted once, outside the timing: the raw load counts nothing either.
  if (modGlobalFunctions::GetUserDataObject(kMessRec, fixture().owner, true)->CountAll() != kMessages) {
    std::abort();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fixture().xml.size()));
}

void rawLoad(benchmark::State& state) {
  writeFlushed(fixture().rawFile, fixture().xml);
  for (auto _ : state) {
    std::string text = readWhole(fixture().rawFile);
    pugi::xml_document document;
    // Parsed where it was read, as a data file is.
    if (!document.load_buffer_inplace(text.data(), text.size(), pugi::parse_default,
                                      pugi::encoding_utf8)) {
      std::abort();
    }
    benchmark::DoNotOptimize(document.first_child());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fixture().xml.size()));
}

void cipherEncipher(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(GenEncryption().EncryptString(fixture().xml).size());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fixture().xml.size()));
}

void cipherDecipher(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(GenEncryption().DecryptString(fixture().enciphered, 1).size());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fixture().xml.size()));
}

void rawCopy(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(std::string(fixture().xml).size());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(fixture().xml.size()));
}

}  // namespace

int main(int argc, char** argv) {
  QTemporaryDir dataRoot;
  qputenv("TAVINOR_DATA_ROOT", dataRoot.path().toUtf8());
  modGlobalVariables::InitGlobalVariables();
  const Fixture& made = fixture();
  std::printf("data file: %d messages, %zu bytes of XML\n", kMessages, made.xml.size());

  const std::vector<std::pair<std::string, BenchFunction>> benchmarks = {
      {"datafile/save", dataFileSave},       {"raw/serialise+write", rawSave},
      {"datafile/load", dataFileLoad},       {"raw/read+parse", rawLoad},
      {"cipher/encipher", cipherEncipher},   {"cipher/decipher", cipherDecipher},
      {"raw/copy", rawCopy},
  };
  const std::vector<RatioRow> table = {
      {"save (serialise, encipher, atomic write, flush)", "datafile/save", "raw/serialise+write"},
      {"load (read, decipher, parse, owner check)", "datafile/load", "raw/read+parse"},
      {"encipher the text", "cipher/encipher", "raw/copy"},
      {"decipher the text", "cipher/decipher", "raw/copy"},
  };
  return runWithRatios(argc, argv, benchmarks, table, "ours (ms)", "raw (ms)");
}
