#pragma once
// DiskImage: what a kill of the program leaves of a folder (every file as it
// stands, written or not yet synced), and putting such a state back before
// the next start. Links and folders are passed over.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <map>
#include <string>

#include "modGenFunctionsFile.h"

using Disk = std::map<std::string, std::string>;

inline Disk diskOf(const std::string& folder) {
  Disk disk;
  for (QDirIterator it(QString::fromStdString(folder), QDir::Files | QDir::Hidden,
                       QDirIterator::Subdirectories);
       it.hasNext();) {
    const std::string path = it.next().toStdString();
    disk[path] = modGenFunctionsFile::ReadFileContent(path);
  }
  return disk;
}

inline void putDisk(const std::string& folder, const Disk& disk) {
  for (const auto& [path, bytes] : diskOf(folder)) QFile::remove(QString::fromStdString(path));
  for (const auto& [path, bytes] : disk) modGenFunctionsFile::SaveFileContent("", path, bytes, false);
}
