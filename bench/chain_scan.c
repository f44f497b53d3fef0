/* The floor for tervox-db verify: a plain SQLite scan of every controller's
 * rows in time order with the same BLAKE2b digest per minute, nothing else
 * (no chain, summaries, audit trail or seals).
 *   chain_scan DATABASE   prints "rows minutes cpu_seconds" */
#include <sodium.h>
#include <sqlite3.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static void put8(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = (unsigned char)(v >> (8 * i));
}

int main(int argc, char** argv) {
  if (argc != 2 || sodium_init() < 0) return 2;
  sqlite3* db = NULL;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READONLY, NULL) != SQLITE_OK) return 2;
  sqlite3_stmt *devices = NULL, *rows = NULL;
  /* Each controller found by seeking the next key. */
  sqlite3_prepare_v2(db, "SELECT min(DeviceID) FROM DeviceData WHERE DeviceID > ?1", -1, &devices, NULL);
  sqlite3_prepare_v2(db,
                     "SELECT DeviceID, ReadTime, Digit, PV, SV, OUT1, OUT2, EV1, EV2, EV3, IsEV1, IsEV2, IsEV3, rowid "
                     "FROM DeviceData WHERE DeviceID = ?1 ORDER BY ReadTime",
                     -1, &rows, NULL);
  long long count = 0, minutes = 0;
  unsigned char digest[32], sink = 0;
  long long last = -1;
  for (;;) {
    sqlite3_bind_int64(devices, 1, last);
    if (sqlite3_step(devices) != SQLITE_ROW || sqlite3_column_type(devices, 0) == SQLITE_NULL) break;
    last = sqlite3_column_int64(devices, 0);
    sqlite3_reset(devices);
    sqlite3_bind_int64(rows, 1, last);
    crypto_generichash_state state;
    long long current = -1;
    while (sqlite3_step(rows) == SQLITE_ROW) {
      const long long minute = (long long)(sqlite3_column_double(rows, 1) * 1440.0);
      if (minute != current) {
        if (current >= 0) {
          crypto_generichash_final(&state, digest, sizeof digest);
          sink ^= digest[0];
        }
        crypto_generichash_init(&state, NULL, 0, sizeof digest);
        current = minute;
        ++minutes;
      }
      unsigned char buffer[13 * 9];
      size_t used = 0;
      for (int c = 0; c < 13; ++c) {
        const int type = sqlite3_column_type(rows, c);
        buffer[used++] = (unsigned char)type;
        if (type == SQLITE_INTEGER) {
          put8(buffer + used, (uint64_t)sqlite3_column_int64(rows, c));
          used += 8;
        } else if (type == SQLITE_FLOAT) {
          const double value = sqlite3_column_double(rows, c);
          uint64_t bits;
          memcpy(&bits, &value, sizeof bits);
          put8(buffer + used, bits);
          used += 8;
        }
      }
      crypto_generichash_update(&state, buffer, used);
      ++count;
    }
    if (current >= 0) {
      crypto_generichash_final(&state, digest, sizeof digest);
      sink ^= digest[0];
    }
    sqlite3_reset(rows);
  }
  sqlite3_finalize(rows);
  sqlite3_finalize(devices);
  sqlite3_close(db);
  printf("%lld %lld %.3f %u\n", count, minutes, (double)clock() / CLOCKS_PER_SEC, (unsigned)sink);
  return 0;
}
