// Makes one certificate a trusted root of this Wine prefix: adds the DER file
// named on the command line to the LocalMachine ROOT store, after removing any
// earlier certificate with the same subject (an older test authority of the
// same build tree), so the store never holds a stale twin. Exit code 0 on
// success; any failure prints the step and the Windows error and exits with 1.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "common/ScopeExit.h"

namespace {

int fail(const char* step) {
  std::fprintf(stderr, "ImportRootCertificate: %s failed (error %lu)\n", step, ::GetLastError());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ImportRootCertificate <certificate.der>\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<BYTE> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) return fail("reading the certificate file");
  if (der.empty()) return fail("reading the certificate file (empty)");

  PCCERT_CONTEXT certificate =
      ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (certificate == nullptr) return fail("CertCreateCertificateContext");
  orvo::ScopeExit freeCertificate([&] { ::CertFreeCertificateContext(certificate); });

  HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, L"ROOT");
  if (store == nullptr) return fail("CertOpenStore(LocalMachine ROOT)");
  orvo::ScopeExit closeStore([&] { ::CertCloseStore(store, 0); });

  // Earlier authorities with the same subject but other bytes go first.
  PCCERT_CONTEXT found = nullptr;
  std::vector<PCCERT_CONTEXT> stale;
  while ((found = ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                               &certificate->pCertInfo->Subject, found)) != nullptr) {
    if (!::CertCompareCertificate(X509_ASN_ENCODING, found->pCertInfo, certificate->pCertInfo)) {
      stale.push_back(::CertDuplicateCertificateContext(found));
    }
  }
  for (PCCERT_CONTEXT old : stale) {
    if (!::CertDeleteCertificateFromStore(old)) return fail("CertDeleteCertificateFromStore");  // frees `old`
  }
  if (!::CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    return fail("CertAddCertificateContextToStore");
  }
  std::printf("trusted root added, %zu earlier removed\n", stale.size());
  return 0;
}
