/* Assembles a GOST PKCS#12 file from a PKCS#8 DER key taken verbatim and certificates in the
 * order given, so that fixtures can hold key encodings and certificate orders that the usual
 * export command does not produce. Needs OpenSSL 3 with the GOST engine.
 *
 *   p12craft -out F -pass P [-mac md_gost94|md_gost12_512|md_gost12_256|sha1|...] [-prf 94|512]
 *            [-iter N] [-p8 key.der] [-cert c.pem]... [-keypbe PBE] [-certpbe PBE] [-nullpass 1]
 *
 * -keypbe and -certpbe name a RFC 7292 PBE (PBE-SHA1-3DES, PBE-SHA1-RC2-40, ...) in place of
 * GOST PBES2; -keypbe may also name a cipher (des-ede3-cbc, aes-128-cbc) for PBES2 with PBKDF2
 * over HMAC-SHA-1, which leaves the pseudo-random function out as its default. -nullpass 1 derives every key from no password octets at all, not even the
 * BMPString terminator, as some writers do for the empty password.
 */
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void die(const char *what) {
    fprintf(stderr, "p12craft: %s\n", what);
    ERR_print_errors_fp(stderr);
    exit(1);
}

int main(int argc, char **argv) {
    const char *out = NULL, *pass = "", *mac = "md_gost12_512", *p8path = NULL;
    const char *keypbe = NULL, *certpbe = NULL;
    const char *certs[16];
    int ncerts = 0, prf = 512, iter = 2048, nullpass = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "-out")) out = argv[i + 1];
        else if (!strcmp(argv[i], "-pass")) pass = argv[i + 1];
        else if (!strcmp(argv[i], "-mac")) mac = argv[i + 1];
        else if (!strcmp(argv[i], "-prf")) prf = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "-iter")) iter = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "-p8")) p8path = argv[i + 1];
        else if (!strcmp(argv[i], "-cert") && ncerts < 16) certs[ncerts++] = argv[i + 1];
        else if (!strcmp(argv[i], "-keypbe")) keypbe = argv[i + 1];
        else if (!strcmp(argv[i], "-certpbe")) certpbe = argv[i + 1];
        else if (!strcmp(argv[i], "-nullpass")) nullpass = atoi(argv[i + 1]);
        else die("unknown option");
    }
    if (!out) die("-out missing");

    ENGINE_load_builtin_engines();
    ENGINE *e = ENGINE_by_id("gost");
    if (!e || !ENGINE_init(e) || !ENGINE_set_default(e, ENGINE_METHOD_ALL)) die("no gost engine");
    const EVP_CIPHER *cipher = EVP_get_cipherbyname("gost89");
    const EVP_MD *md = EVP_get_digestbyname(mac);
    if (!cipher || !md) die("cipher or digest missing");
    int prfNid = prf == 94 ? NID_id_HMACGostR3411_94 : NID_id_tc26_hmac_gost_3411_2012_512;
    int passlen = (int)strlen(pass);
    if (nullpass) pass = NULL, passlen = 0;
    if ((keypbe || certpbe) &&
        (!OSSL_PROVIDER_load(NULL, "legacy") || !OSSL_PROVIDER_load(NULL, "default")))
        die("no legacy provider");

    STACK_OF(PKCS7) *safes = sk_PKCS7_new_null();
    if (ncerts > 0) {
        STACK_OF(PKCS12_SAFEBAG) *bags = sk_PKCS12_SAFEBAG_new_null();
        for (int i = 0; i < ncerts; i++) {
            FILE *f = fopen(certs[i], "r");
            X509 *x = f ? PEM_read_X509(f, NULL, NULL, NULL) : NULL;
            if (f) fclose(f);
            if (!x) die("cannot read certificate");
            sk_PKCS12_SAFEBAG_push(bags, PKCS12_SAFEBAG_create_cert(x));
            X509_free(x);
        }
        PKCS7 *p7 = NULL;
        if (certpbe) {
            p7 = PKCS12_pack_p7encdata(OBJ_txt2nid(certpbe), pass, passlen, NULL, 8, iter, bags);
        } else {
            p7 = PKCS7_new();
            if (!PKCS7_set_type(p7, NID_pkcs7_encrypted)) die("p7 type");
            X509_ALGOR *pbe = PKCS5_pbe2_set_iv(cipher, iter, NULL, 8, NULL, prfNid);
            if (!pbe) die("pbe2");
            X509_ALGOR_free(p7->d.encrypted->enc_data->algorithm);
            p7->d.encrypted->enc_data->algorithm = pbe;
            ASN1_OCTET_STRING_free(p7->d.encrypted->enc_data->enc_data);
            p7->d.encrypted->enc_data->enc_data = PKCS12_item_i2d_encrypt(
                pbe, ASN1_ITEM_rptr(PKCS12_SAFEBAGS), pass, passlen, bags, 1);
            if (!p7->d.encrypted->enc_data->enc_data) p7 = NULL;
        }
        if (!p7) die("encrypt certificates");
        sk_PKCS7_push(safes, p7);
        sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    }
    if (p8path) {
        FILE *f = fopen(p8path, "rb");
        unsigned char buf[4096];
        size_t n = f ? fread(buf, 1, sizeof buf, f) : 0;
        if (f) fclose(f);
        const unsigned char *p = buf;
        PKCS8_PRIV_KEY_INFO *p8 = d2i_PKCS8_PRIV_KEY_INFO(NULL, &p, (long)n);
        if (!p8) die("cannot read PKCS#8");
        X509_SIG *sig = NULL;
        const EVP_CIPHER *keyCipher = keypbe ? EVP_get_cipherbyname(keypbe) : NULL;
        if (keyCipher) {
            X509_ALGOR *pbe = PKCS5_pbe2_set_iv(keyCipher, iter, NULL, 8, NULL, NID_hmacWithSHA1);
            sig = pbe ? PKCS8_set0_pbe(pass, passlen, p8, pbe) : NULL;
        } else if (keypbe) {
            sig = PKCS8_encrypt(OBJ_txt2nid(keypbe), NULL, pass, passlen, NULL, 8, iter, p8);
        } else {
            X509_ALGOR *pbe = PKCS5_pbe2_set_iv(cipher, iter, NULL, 8, NULL, prfNid);
            sig = pbe ? PKCS8_set0_pbe(pass, passlen, p8, pbe) : NULL;
        }
        if (!sig) die("encrypt key");
        STACK_OF(PKCS12_SAFEBAG) *bags = sk_PKCS12_SAFEBAG_new_null();
        sk_PKCS12_SAFEBAG_push(bags, PKCS12_SAFEBAG_create0_pkcs8(sig));
        sk_PKCS7_push(safes, PKCS12_pack_p7data(bags));
        sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
        PKCS8_PRIV_KEY_INFO_free(p8);
    }
    PKCS12 *p12 = PKCS12_add_safes(safes, NID_pkcs7_data);
    if (!p12 || !PKCS12_set_mac(p12, pass, passlen, NULL, 8, iter, md)) die("mac");
    FILE *o = fopen(out, "wb");
    if (!o || !i2d_PKCS12_fp(o, p12)) die("write");
    fclose(o);
    return 0;
}
