// A BLAKE2b-256 digest of bytes fed in pieces: what reports and exports
// carry of exactly the rows they show.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class TTervoxDigest {
public:
  TTervoxDigest();
  ~TTervoxDigest();
  TTervoxDigest(const TTervoxDigest&) = delete;
  TTervoxDigest& operator=(const TTervoxDigest&) = delete;

  void Add(const QByteArray& ABytes);
  void Add(const char* AData, qsizetype ASize);
  // "blake2b-256:" and 64 hex digits; the digest ends here.
  QString Text();

private:
  struct TState;
  std::unique_ptr<TState> FState;
};
