#include "tls/tables.h"

const std::map<int, std::string> saveHandshakeTypes = {
    {0, "HelloRequest"},         {1, "ClientHello"},        {2, "ServerHello"},
    {3, "HelloVerifyRequest"},   {4, "NewSessionTicket"},   {5, "EndOfEarlyData"},
    {6, "HelloRetryRequest"},    {8, "EncryptedExtensions"}, {11, "Certificate"},
    {12, "ServerKeyExchange"},   {13, "CertificateRequest"}, {14, "ServerHelloDone"},
    {15, "CertificateVerify"},   {16, "ClientKeyExchange"}, {21, "CertificateUrl"},
    {22, "CertificateStatus"},   {23, "SupplementalData"},  {24, "KeyUpdate"},
    {254, "MessageHash"},
};
