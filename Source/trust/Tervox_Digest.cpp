#include "Tervox_Digest.h"

#include <sodium.h>

#include <cstdlib>

struct TTervoxDigest::TState {
  crypto_generichash_state Hash;
};

TTervoxDigest::TTervoxDigest() : FState(std::make_unique<TState>()) {
  if (sodium_init() < 0) std::abort();
  crypto_generichash_init(&FState->Hash, nullptr, 0, crypto_generichash_BYTES);
}

TTervoxDigest::~TTervoxDigest() = default;

void TTervoxDigest::Add(const QByteArray& ABytes) { Add(ABytes.constData(), ABytes.size()); }

void TTervoxDigest::Add(const char* AData, qsizetype ASize) {
  crypto_generichash_update(&FState->Hash, reinterpret_cast<const unsigned char*>(AData),
                            static_cast<unsigned long long>(ASize));
}

QString TTervoxDigest::Text() {
  unsigned char out[crypto_generichash_BYTES];
  crypto_generichash_final(&FState->Hash, out, sizeof out);
  return QStringLiteral("blake2b-256:") +
         QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(out), sizeof out).toHex());
}
