// Bounds on what one PKCS#12 file may make the reader do. Everything a file asks for is checked
// against them before the work is spent, so that no file, whatever its size, keeps keymend busy
// for more than a few seconds.
//
// The iteration budget: one PBKDF2 iteration with either GOST HMAC costs about 3 us on a 2.1 GHz
// x86-64 core, so a file at the budget takes about 3 s to open. A file runs one derivation for its
// MAC and one for every encrypted safe and shrouded key bag (three in an ordinary export);
// exporters use 2,000 to 2,048 iterations for each, some 10,000 to 100,000: under a third of the
// budget even then. One derivation may ask for half the budget, which bounds the work of the MAC,
// checked before the safes are counted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keymend {

// Largest PKCS#12 file that is read; larger ones are refused before anything is allocated.
constexpr size_t kMaxPkcs12FileSize = 16u << 20;
// ContentInfos in the authenticated safe (exporters write two: certificates and key).
constexpr uint32_t kMaxPkcs12ContentInfos = 64;
// Safe bags in all encrypted safes of a file together (a certificate chain and the key's bags).
constexpr uint32_t kMaxPkcs12SafeBags = 512;
// PBKDF2 iterations of one derivation.
constexpr uint64_t kMaxPbkdf2Iterations = 500'000;
// PBKDF2 iterations of all derivations of one file together: the MAC and every PBES2. A count
// of 0 costs one iteration.
constexpr uint64_t kPkcs12IterationBudget = 1'000'000;

}  // namespace keymend
