#include "KestroCore/Application/SentFileRetention.h"

#include <exception>
#include <fstream>
#include <utility>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/Durations.h"
#include "KestroCore/Foundation/JSONCoding.h"

namespace kestro {
namespace {

// Whether the suite's file holds the key with a value that is not text, which UserDefaults
// reads as absent. The file has been read whole by then, so it is a JSON object.
bool holdsOtherValue(const UserDefaults& settings, std::string_view key) {
  const std::optional<std::filesystem::path> path = settings.filePath();
  if (!path) return false;
  std::ifstream file(*path, std::ios::binary);
  if (!file) return false;
  const JSON document = JSON::parse(file, nullptr, false);
  return document.is_object() && document.contains(std::string(key)) &&
         !document[std::string(key)].is_string();
}

}  // namespace

std::chrono::seconds sentFileRetention(const UserDefaults& settings) {
  const auto invalid = [&](const std::string& why) {
    const std::optional<std::filesystem::path> path = settings.filePath();
    return ApplicationError(ExitStatus::failure,
                            "the setting \"" + std::string(settingskeys::kSentFileRetention) +
                                "\"" + (path ? " in " + path->string() : std::string()) +
                                " cannot be read: " + why +
                                "; the files of sent captures are kept until it is corrected");
  };
  const std::optional<std::string> text = settings.string(settingskeys::kSentFileRetention);
  if (!text) {
    if (holdsOtherValue(settings, settingskeys::kSentFileRetention)) {
      throw invalid("it is not text (write it in quotes, like \"1d\")");
    }
    return kDefaultSentFileRetention;
  }
  try {
    return parseDuration(*text);
  } catch (const ApplicationError& error) {
    throw invalid(error.what());
  }
}

SentFileSweeper::SentFileSweeper(ApplicationPlaces places,
                                 std::function<void(const std::string&)> complain)
    : places_(std::move(places)), complain_(std::move(complain)) {}

std::optional<SentFilesReport> SentFileSweeper::sweep(OutboxStore& store, Date now) {
  std::optional<SentFilesReport> report;
  std::string complaint;
  try {
    const std::chrono::seconds retention = sentFileRetention(places_.applicationSettings());
    report = removeSentFiles(store, places_.storageDirectory(), retention, now);
    if (!report->failures.empty()) {
      complaint = "the files of a sent capture could not be removed: " + report->failures.front();
      if (report->failures.size() > 1) {
        complaint += " (and " + std::to_string(report->failures.size() - 1) + " more)";
      }
    }
  } catch (const ApplicationError& error) {
    complaint = error.what();
  } catch (const std::exception& error) {
    complaint = std::string("the files of sent captures were not removed: ") + error.what();
  }
  if (complaint.empty()) {
    lastComplaint_.reset();
  } else if (complaint != lastComplaint_) {
    lastComplaint_ = complaint;
    if (complain_) complain_(complaint);
  }
  return report;
}

}  // namespace kestro
