// The exporter's web configuration file, in the format that the official
// Prometheus exporters read with --web.config.file: TLS (server certificate,
// client certificates) and basic authentication with bcrypt hashes.
#pragma once

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

enum VTR_ClientAuth {
  VTR_CLIENT_NO_CERT,
  VTR_CLIENT_REQUEST_CERT,
  VTR_CLIENT_REQUIRE_ANY_CERT,
  VTR_CLIENT_VERIFY_CERT_IF_GIVEN,
  VTR_CLIENT_REQUIRE_AND_VERIFY_CERT,
};

// Identity of a file as last read: a rotated file differs in one of these.
struct VTR_FileStamp {
  std::string path;
  dev_t dev;
  ino_t ino;
  off_t size;
  struct timespec mtime;
};

struct VTR_WebConfig {
  bool tls = false;
  std::string certPem, keyPem, clientCaPem;
  VTR_ClientAuth clientAuth = VTR_CLIENT_NO_CERT;
  std::string priorities;                    // GnuTLS priority string for min_version
  std::map<std::string, std::string> users;  // user name -> bcrypt hash
  // The server certificate chain and key, ready for the handshake, and the
  // client CAs; owned by this configuration (VTR_FreeWebConfig).
  gnutls_pcert_st pcerts[8] = {};
  unsigned pcertCount = 0;
  gnutls_privkey_t key = nullptr;
  gnutls_x509_trust_list_t clientCas = nullptr;
  std::vector<VTR_FileStamp> files;  // the configuration file and every file it names
};

// Reads and checks the file. 0 on success; -1 with *err naming the key and
// the reason (unknown key, unreadable or unparsable certificate, key that
// does not match it, a password that is not a bcrypt hash...), and with only
// out->files set, the stamps of the files read.
int VTR_LoadWebConfig(const char *path, VTR_WebConfig *out, std::string *err);
void VTR_FreeWebConfig(VTR_WebConfig *cfg);
// True when the configuration file or a file it names changed since it was read.
bool VTR_WebConfigChanged(const VTR_WebConfig &cfg);
// True when `password` matches the bcrypt hash (crypt(3)).
bool VTR_CheckBcrypt(const std::string &password, const std::string &hash);
// The client-certificate check of a TLS session under cfg: 0 when the
// connection may go on, -1 with *err otherwise.
int VTR_CheckClientCert(const VTR_WebConfig &cfg, gnutls_session_t session, std::string *err);
