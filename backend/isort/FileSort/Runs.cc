#include "FileSort/Runs.h"

#include <cstring>

#include "Assertion.h"

FileSort::WorkFile::WorkFile(const char* prefix) : VORN_TempFile(prefix, true) {}

FileSort::WorkFile::WorkFile(const WorkFile& other) : VORN_TempFile(other) {}

FileSort::WorkFile::~WorkFile() = default;

FileSort::Sequence::Sequence(WorkFile* file)
    : start(file->Tell()), end(start), file(file), ownsFile(false) {}

FileSort::Sequence::~Sequence() {
  if (ownsFile) delete file;
}

void FileSort::Sequence::WriteCompressed(const OBS* units, unsigned int n) {
  ::WriteCompressed(*file, units, n);
  end = file->Tell();
}

void FileSort::Sequence::CopyPrecompressed(VORN_StrBaseIO& from, unsigned int n) {
  ::CopyPrecompressed(from, *file, n);
  end = file->Tell();
}

void FileSort::Sequence::Rewind() {
  if (!ownsFile) {
    file = new WorkFile(*file);
    ownsFile = true;
  }
  file->Seek(start, VORN_StrBaseIO::FromStart);
}

bool FileSort::Sequence::ReadCompressed(OBS* units, unsigned int n) {
  if (file->Tell() >= end) return false;
  ::ReadCompressed(*file, units, n);
  return true;
}

FileSort::SeqReader::SeqReader(const Sequence& run)
    : Sequence(run), keyUnits(0), payloadUnits(0) {}

FileSort::SeqReader::~SeqReader() = default;

void FileSort::SeqReader::Allocate(unsigned int keyUnits, unsigned int payloadUnits) {
  this->keyUnits = keyUnits;
  this->payloadUnits = payloadUnits;
  key.reset(new OBS[keyUnits + 1]);
  if (payloadUnits != 0) payload.reset(new OBS[payloadUnits]);
}

namespace {

// The run tag of batch T, and back (see the run format in Runs.h).
constexpr double kRunTagOffset = 99.0;
double RunTag(std::uint64_t batch) { return static_cast<double>(batch) - kRunTagOffset; }
std::uint64_t BatchOfRunTag(double tag) {
  return static_cast<std::uint64_t>(tag + kRunTagOffset);
}

}  // namespace

bool FileSort::SeqReader::Read() {
  if (!ReadCompressed(key.get(), keyUnits + 1)) return false;
  OBS& tag = key[keyUnits];
  const std::uint64_t ordinal = BatchOfRunTag(tag);
  std::memcpy(&tag, &ordinal, sizeof ordinal);
  if (payloadUnits != 0) {
    const bool more = ReadCompressed(payload.get(), payloadUnits);
    // A key group without its payload group: the run is not one we wrote.
    isort::Check(more, "more", "backend/isort/FileSort", __LINE__,
                 "bool FileSort::SeqReader::Read()");
  }
  return true;
}

namespace isort {

void RunWriter::AppendRecord(OBS* record, std::uint64_t batch) {
  record[keyUnits_] = RunTag(batch);
  run_.WriteCompressed(record, keyUnits_ + 1);
}

std::uint64_t RunWriter::Append(OBS* record, std::uint64_t batch, const OBS* payload) {
  AppendRecord(record, batch);
  if (payloadUnits_ == 0) return 0;
  const std::int64_t before = run_.end;
  run_.WriteCompressed(payload, payloadUnits_);
  return static_cast<std::uint64_t>(run_.end - before);
}

std::uint64_t RunWriter::AppendAsStored(OBS* record, std::uint64_t batch, const OBS* payload,
                                        VORN_StrBaseIO& scratch) {
  std::uint64_t bytes = 0;
  if (payloadUnits_ != 0) {
    scratch.Seek(0, VORN_StrBaseIO::FromStart);
    ::WriteCompressed(scratch, payload, payloadUnits_);
    bytes = static_cast<std::uint64_t>(scratch.Tell());
    scratch.Seek(0, VORN_StrBaseIO::FromStart);
  }
  AppendPrecompressed(record, batch, scratch);
  return bytes;
}

void RunWriter::AppendPrecompressed(OBS* record, std::uint64_t batch,
                                    VORN_StrBaseIO& payloads) {
  AppendRecord(record, batch);
  if (payloadUnits_ != 0) run_.CopyPrecompressed(payloads, payloadUnits_);
}

}  // namespace isort
