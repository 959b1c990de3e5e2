// version, status, backup and update: the commands that talk to a controller through TavraLink.
// They run the window's firmware steps and reset the controller at their end as the window does.

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "cli_commands.h"
#include "controller_session.h"
#include "loader/app/profile_reader.h"
#include "shared/controller_identity.h"
#include "stop_signals.h"

namespace tavra::loader::cli {
namespace {

// A backup's block size is the controller's business (the size it announces only scales the
// bar): its progress shows blocks per second.
constexpr double kUploadUnitBytes = 0.0;
constexpr std::string_view kPartialFirmware = "the controller may hold a partial firmware";

long long ImageBytes(const FirmwareImage& image) {
  long long bytes = 0;
  for (int r = 1; r <= image.UsedRows(); ++r) {
    bytes += static_cast<long long>(image.Row(r).size());
  }
  return bytes;
}

std::string RowText(std::span<const std::uint8_t> row) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text = ":";
  for (const std::uint8_t byte : row) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

// The first row where the two images differ; empty when they are equal.
std::string FirstDifference(const FirmwareImage& sent, const FirmwareImage& read) {
  const int rows = std::max(sent.UsedRows(), read.UsedRows());
  for (int r = 1; r <= rows; ++r) {
    const auto a = sent.Row(r);
    const auto b = read.Row(r);
    if (r > sent.UsedRows() || r > read.UsedRows() ||
        !std::equal(a.begin(), a.end(), b.begin(), b.end())) {
      return "row " + std::to_string(r) + " differs: sent " +
             (r > sent.UsedRows() ? "nothing" : RowText(a)) + ", read back " +
             (r > read.UsedRows() ? "nothing" : RowText(b));
    }
  }
  return {};
}

JsonObject TransferFigures(int rows, long long bytes, double seconds) {
  JsonObject figures;
  figures.Add("rows", rows).Add("bytes", bytes).Add("seconds", seconds);
  figures.Add("bytesPerSecond", seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0);
  return figures;
}

void PrintSummary(
    ControllerSession& session, std::string_view label, int rows, long long bytes, double seconds) {
  if (session.Options().json) {
    return;
  }
  char text[160];
  std::snprintf(text, sizeof text, "%.*s: %d rows, %lld bytes in %.1f s (%.0f bytes/s)\n",
                static_cast<int>(label.size()), label.data(), rows, bytes, seconds,
                seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0);
  session.Boxes().Write(session.Boxes().Out(), text);
}

// The controller's product header as JSON members.
JsonObject ProductOfHeader(const HeaderText& header) {
  const std::string_view text = header.Text();
  const LineSource source = LineSource::Text(text);
  JsonObject product;
  product.Add("name", GetProfileString(source, "Product", "Name", ""))
      .Add("version", GetProfileString(source, "Product", "Version", ""))
      .Add("country", GetProfileString(source, "Product", "Country", ""))
      .Add("agent", GetProfileString(source, "Product", "Agent", ""))
      .Add("date", GetProfileString(source, "Date", "Date", ""));
  return product;
}

// A folder for the read-back of update --verify, removed with its file.
class VerifyFolder {
 public:
  VerifyFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavraloader-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
      m_path = pattern;
    }
  }
  ~VerifyFolder() {
    std::error_code ignored;
    if (!m_path.empty()) {
      std::filesystem::remove_all(m_path, ignored);
    }
  }
  VerifyFolder(const VerifyFolder&) = delete;
  VerifyFolder& operator=(const VerifyFolder&) = delete;
  [[nodiscard]] const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

// Reads the firmware back and compares it with the rows sent; the JSON members of the result.
bool Verify(ControllerSession& session, JsonObject& result) {
  VerifyFolder folder;
  if (folder.Path().empty()) {
    session.Complain("verify: no temporary folder");
    return false;
  }
  TerminalProgress progress(session.Boxes(), session.ProgressDisplay(), "Verify", kUploadUnitBytes);
  session.Boxes().SetPrintSuccess(false);
  const StepResult backup = session.Steps().Backup(folder.Path() / "verify.TVW", &progress);
  session.Boxes().SetPrintSuccess(true);
  progress.Finish();
  if (backup != StepResult::Done) {
    session.Complain("verify: the firmware could not be read back");
    return false;
  }
  const FirmwareImage& sent = session.Steps().DownloadImage();
  const std::string difference = FirstDifference(sent, session.Steps().UploadImage());
  result.Add("verified", difference.empty());
  if (!difference.empty()) {
    result.Add("difference", difference);
    session.Complain("verify: " + difference);
    return false;
  }
  if (!session.Options().json) {
    session.Boxes().Write(
        session.Boxes().Out(),
        "Verified: the controller holds the " + std::to_string(sent.UsedRows()) + " rows sent\n");
  }
  return true;
}

}  // namespace

int RunVersionCommand(CommandContext& context) {
  ControllerSession session(context, "version");
  if (!session.Prepare()) {
    return session.Finish(false);
  }
  if (!session.Connect(true)) {
    return StopRequested() ? session.Interrupted("") : (session.Close(true), session.Finish(false));
  }
  std::string info;
  const StepResult step = session.Steps().ShowFirmwareVersion(info);
  if (StopRequested()) {
    return session.Interrupted("");
  }
  JsonObject result;
  if (step == StepResult::Done) {
    HeaderText header;
    session.Connection().State().CopyUploadedHeader(header);
    result.Add("product", ProductOfHeader(header));
    if (!context.options.json) {
      session.Boxes().Write(context.out, ProductInfoLines(info));
    }
  }
  session.Close(true);
  return session.Finish(step == StepResult::Done, result);
}

int RunStatusCommand(CommandContext& context) {
  ControllerSession session(context, "status");
  if (!session.Prepare() || !session.Connect(false, false)) {
    return session.Finish(false);
  }
  std::int32_t status = 0;
  std::vector<std::uint8_t> data;
  const HRESULT hr = session.Connection().QueryStatus(status, data);
  session.Close(false);
  if (hr != S_OK) {
    session.Complain("the connection status could not be read");
    return session.Finish(false);
  }
  const bool online = status == STATUS_ONLINE;
  ControllerIdentity identity;
  std::copy_n(data.begin(), std::min(data.size(), identity.bytes.size()), identity.bytes.begin());
  JsonObject result;
  result.Add("online", online);
  std::string text = StatusBarText(online, context.options.port, context.options.language) + "\n";
  if (online) {
    result.Add("type", static_cast<int>(identity.Type()))
        .Add("typeName", identity.TypeName())
        .Add("version", identity.VersionText())
        .Add("bootCode", identity.Type() == kControllerTypeBootCode);
    text += "Controller: " + identity.TypeName() + " (type " + std::to_string(identity.Type()) +
            "), version " + identity.VersionText() + "\n";
  }
  if (!context.options.json) {
    session.Boxes().Write(context.out, text);
  }
  return session.Finish(true, result);
}

int RunBackupCommand(CommandContext& context) {
  ControllerSession session(context, "backup");
  if (!session.Prepare()) {
    return session.Finish(false);
  }
  if (!session.Connect(true)) {
    return StopRequested() ? session.Interrupted("") : (session.Close(true), session.Finish(false));
  }
  TerminalProgress progress(session.Boxes(), session.ProgressDisplay(), "Backup", kUploadUnitBytes);
  const StepResult step = session.Steps().Backup(context.args.at(0), &progress);
  progress.Finish();
  if (StopRequested()) {
    return session.Interrupted("the backup file was not written");
  }
  const FirmwareImage& image = session.Steps().UploadImage();
  const double seconds = progress.Seconds();
  JsonObject result;
  if (step == StepResult::Done) {
    result = TransferFigures(image.UsedRows(), ImageBytes(image), seconds);
    result.Add("file", context.args.at(0));
    PrintSummary(session, "Backup", image.UsedRows(), ImageBytes(image), seconds);
  }
  session.Close(true);
  return session.Finish(step == StepResult::Done, result);
}

int RunUpdateCommand(CommandContext& context) {
  ControllerSession session(context, "update");
  if (!session.Prepare()) {
    return session.Finish(false);
  }
  const std::string& file = context.args.at(0);
  auto image = std::make_unique<FirmwareImage>();
  if (!session.Steps().AcceptFirmwareFile(file) || !LoadDownloadImage(file, *image).Ok()) {
    return session.Finish(false);
  }
  const double unitBytes =
      image->UsedRows() > 0 ? static_cast<double>(ImageBytes(*image)) / image->UsedRows() : 0.0;
  if (!session.Connect(true)) {
    return StopRequested() ? session.Interrupted("") : (session.Close(true), session.Finish(false));
  }
  TerminalProgress progress(session.Boxes(), session.ProgressDisplay(), "Update", unitBytes);
  const StepResult step = session.Steps().Update(&progress);
  progress.Finish();
  if (StopRequested()) {
    return session.Interrupted(kPartialFirmware);
  }
  const double seconds = progress.Seconds();
  bool ok = step == StepResult::Done;
  JsonObject result = TransferFigures(image->UsedRows(), ImageBytes(*image), seconds);
  result.Add("file", file);
  if (ok) {
    PrintSummary(session, "Update", image->UsedRows(), ImageBytes(*image), seconds);
  }
  if (ok && context.options.verify) {
    ok = Verify(session, result);
    if (StopRequested()) {
      return session.Interrupted("the read-back was not finished");
    }
  }
  session.Close(true);
  return session.Finish(ok, result);
}

}  // namespace tavra::loader::cli
