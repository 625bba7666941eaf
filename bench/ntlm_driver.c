/* NTLM handshakes against a web server, as fast as a client can make them.

     ntlm_driver PORT PATH DOMAIN\\USER PASSWORD CLIENTS COUNT [kept]

   CLIENTS threads share COUNT handshakes on 127.0.0.1:PORT. One handshake is
   what a browser does on a new connection: GET PATH without credentials
   (401), GET with the NTLM negotiate message (401 with the challenge), GET
   with the authenticate message (200), then close. The messages come from
   the GSS-API initiator calls with the gss-ntlmssp mechanism, so the client
   side costs the same whichever server module answers.
   With "kept", each thread instead signs on once over its own connection
   and then the threads share COUNT plain GETs of PATH over those signed-on
   connections, without credentials, each to be answered 200; the clock
   runs from the moment every thread has signed on.
   Prints one line: "ok N failed N seconds S", and on standard error why the
   first few failures failed (stage and HTTP status, -1 for a closed
   connection). Exits 1 on setup failure. */
#include <arpa/inet.h>
#include <errno.h>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static gss_OID_desc ntlmssp_oid = {10, "\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a"};
static int port;
static const char *path, *user, *password;
static atomic_int remaining, ok, failed;

static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static size_t b64_encode(const unsigned char *in, size_t n, char *out)
{
    size_t o = 0;
    for (size_t i = 0; i < n; i += 3) {
        unsigned v = in[i] << 16 | (i + 1 < n ? in[i + 1] << 8 : 0) | (i + 2 < n ? in[i + 2] : 0);
        out[o++] = b64[v >> 18 & 63];
        out[o++] = b64[v >> 12 & 63];
        out[o++] = i + 1 < n ? b64[v >> 6 & 63] : '=';
        out[o++] = i + 2 < n ? b64[v & 63] : '=';
    }
    out[o] = '\0';
    return o;
}

static size_t b64_decode(const char *in, unsigned char *out)
{
    size_t o = 0;
    unsigned v = 0;
    int bits = 0;
    for (; *in && *in != '=' && *in != '\r'; in++) {
        const char *p = strchr(b64, *in);
        if (p == NULL)
            break;
        v = v << 6 | (unsigned)(p - b64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[o++] = (unsigned char)(v >> bits);
        }
    }
    return o;
}

/* Sends one GET and reads the whole answer; returns the status, and the
   NTLM challenge's base64 text (if any) in challenge. */
static int get(int fd, const char *auth, char *challenge, size_t challenge_size)
{
    char req[4096];
    int n = snprintf(req, sizeof req, "GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s%s%s\r\n", path,
                     auth ? "Authorization: NTLM " : "", auth ? auth : "", auth ? "\r\n" : "");
    if (write(fd, req, (size_t)n) != n)
        return -1;
    static _Thread_local char buf[65536];
    size_t have = 0;
    char *end = NULL;
    while (end == NULL) {
        ssize_t r = read(fd, buf + have, sizeof buf - 1 - have);
        if (r <= 0)
            return -1;
        have += (size_t)r;
        buf[have] = '\0';
        end = strstr(buf, "\r\n\r\n");
    }
    int status = atoi(buf + 9);
    long length = 0;
    challenge[0] = '\0';
    for (char *line = strstr(buf, "\r\n") + 2; line < end; line = strstr(line, "\r\n") + 2) {
        if (strncasecmp(line, "Content-Length:", 15) == 0)
            length = atol(line + 15);
        else if (strncasecmp(line, "WWW-Authenticate: NTLM ", 23) == 0) {
            size_t len = (size_t)(strstr(line, "\r\n") - line - 23);
            if (len < challenge_size) {
                memcpy(challenge, line + 23, len);
                challenge[len] = '\0';
            }
        }
    }
    long body = (long)(have - (size_t)(end + 4 - buf));
    while (body < length) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0)
            return -1;
        body += r;
    }
    return status;
}

/* Why the first few handshakes failed, for the report on standard error. */
static atomic_int reported;

static int fail(const char *stage, int status)
{
    if (atomic_fetch_add(&reported, 1) < 5)
        fprintf(stderr, "ntlm_driver: %s: %d\n", stage, status);
    return -1;
}

/* Runs the three legs over a new connection; returns it (signed on), or -1. */
static int sign_on(gss_cred_id_t cred, gss_name_t target)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0), one = 1, result = -1;
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
    gss_buffer_desc in = GSS_C_EMPTY_BUFFER, out = GSS_C_EMPTY_BUFFER;
    char text[8192], challenge[4096];
    unsigned char raw[4096];
    OM_uint32 major, minor;
    int status;
    if (connect(fd, (struct sockaddr *)&sa, sizeof sa) != 0) {
        fail("connect", errno);
        goto done;
    }
    if ((status = get(fd, NULL, challenge, sizeof challenge)) != 401) {
        fail("first leg", status);
        goto done;
    }
    major = gss_init_sec_context(&minor, cred, &ctx, target, &ntlmssp_oid, 0, 0, NULL, &in, NULL, &out, NULL, NULL);
    if (major != GSS_S_CONTINUE_NEEDED || out.length > 3000) {
        fail("negotiate message", (int)minor);
        goto done;
    }
    b64_encode(out.value, out.length, text);
    gss_release_buffer(&minor, &out);
    if ((status = get(fd, text, challenge, sizeof challenge)) != 401 || challenge[0] == '\0') {
        fail("challenge leg", status);
        goto done;
    }
    in.length = b64_decode(challenge, raw);
    in.value = raw;
    major = gss_init_sec_context(&minor, cred, &ctx, target, &ntlmssp_oid, 0, 0, NULL, &in, NULL, &out, NULL, NULL);
    if (GSS_ERROR(major) || out.length > 3000) {
        fail("authenticate message", (int)minor);
        goto done;
    }
    b64_encode(out.value, out.length, text);
    gss_release_buffer(&minor, &out);
    if ((status = get(fd, text, challenge, sizeof challenge)) == 200)
        result = fd;
    else
        fail("last leg", status);
done:
    gss_release_buffer(&minor, &out);
    gss_delete_sec_context(&minor, &ctx, GSS_C_NO_BUFFER);
    if (result < 0)
        close(fd);
    return result;
}

static int handshake(gss_cred_id_t cred, gss_name_t target)
{
    int fd = sign_on(cred, target);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

static int kept_alive;
static pthread_barrier_t signed_on;
static struct timespec started;

static void *client(void *arg)
{
    (void)arg;
    OM_uint32 minor;
    gss_name_t name, target;
    gss_cred_id_t cred;
    gss_OID_set_desc mechs = {1, &ntlmssp_oid};
    gss_buffer_desc user_buf = {strlen(user), (void *)user};
    gss_buffer_desc pw_buf = {strlen(password), (void *)password};
    gss_buffer_desc target_buf = {strlen("HTTP@127.0.0.1"), "HTTP@127.0.0.1"};
    if (gss_import_name(&minor, &user_buf, GSS_C_NT_USER_NAME, &name) != GSS_S_COMPLETE ||
        gss_import_name(&minor, &target_buf, GSS_C_NT_HOSTBASED_SERVICE, &target) != GSS_S_COMPLETE ||
        gss_acquire_cred_with_password(&minor, name, &pw_buf, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE, &cred, NULL,
                                       NULL) != GSS_S_COMPLETE) {
        fprintf(stderr, "ntlm_driver: no NTLM credentials for %s (minor %u)\n", user, minor);
        exit(1);
    }
    if (kept_alive) {
        int fd = sign_on(cred, target);
        char challenge[4096];
        if (pthread_barrier_wait(&signed_on) == PTHREAD_BARRIER_SERIAL_THREAD)
            clock_gettime(CLOCK_MONOTONIC, &started);
        while (fd >= 0 && atomic_fetch_sub(&remaining, 1) > 0) {
            int status = get(fd, NULL, challenge, sizeof challenge);
            atomic_fetch_add(status == 200 ? &ok : &failed, 1);
            if (status != 200) {
                fail("kept-alive request", status);
                break;
            }
        }
        if (fd < 0)
            fail("sign-on", -1);
        else
            close(fd);
    } else {
        while (atomic_fetch_sub(&remaining, 1) > 0)
            atomic_fetch_add(handshake(cred, target) == 0 ? &ok : &failed, 1);
    }
    gss_release_cred(&minor, &cred);
    gss_release_name(&minor, &name);
    gss_release_name(&minor, &target);
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc != 7 && !(argc == 8 && strcmp(argv[7], "kept") == 0)) {
        fprintf(stderr, "usage: ntlm_driver PORT PATH DOMAIN\\\\USER PASSWORD CLIENTS COUNT [kept]\n");
        return 2;
    }
    kept_alive = argc == 8;
    port = atoi(argv[1]);
    path = argv[2];
    user = argv[3];
    password = argv[4];
    int clients = atoi(argv[5]);
    atomic_store(&remaining, atoi(argv[6]));
    pthread_t threads[256];
    if (clients < 1 || clients > 256)
        return 2;
    struct timespec t0, t1;
    pthread_barrier_init(&signed_on, NULL, (unsigned)clients);
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (int i = 0; i < clients; i++)
        pthread_create(&threads[i], NULL, client, NULL);
    for (int i = 0; i < clients; i++)
        pthread_join(threads[i], NULL);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (kept_alive)
        t0 = started;
    printf("ok %d failed %d seconds %.6f\n", atomic_load(&ok), atomic_load(&failed),
           (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9);
    return 0;
}
