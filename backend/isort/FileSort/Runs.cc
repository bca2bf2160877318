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

bool FileSort::SeqReader::Read() {
  if (!ReadCompressed(key.get(), keyUnits + 1)) return false;
  // The run tag T - 99 back to the batch ordinal T.
  OBS& tag = key[keyUnits];
  const std::uint64_t ordinal = static_cast<std::uint64_t>(tag + 99.0);
  std::memcpy(&tag, &ordinal, sizeof ordinal);
  if (payloadUnits != 0) {
    const bool more = ReadCompressed(payload.get(), payloadUnits);
    // A key group without its payload group: the run is not one we wrote.
    isort::Check(more, "more", "backend/isort/FileSort", __LINE__,
                 "bool FileSort::SeqReader::Read()");
  }
  return true;
}
