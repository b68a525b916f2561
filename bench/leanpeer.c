/* The least a PC can do to move one image over the box's protocol: one thread, blocking reads
 * and writes, the image in memory, no logging, no progress. The benchmarks time it against the
 * same simulated box as vandrelux-cli, so its span is the floor our own can be held to.
 *
 *   leanpeer download DEVICE IMAGE   sends IMAGE as the software image
 *   leanpeer receive DEVICE OUT      takes the box's image, writes it byte-swapped to OUT
 *
 * Exit status 0 when the box (or we) accepted the whole image, 1 otherwise. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { ACK = 0x06, NAK = 0x15, SYN = 0x16, READY = 0x19, MARK = 0x47 };
enum { MAX_PAYLOAD = 4096, FRAME_MAX = MAX_PAYLOAD + 10 };
/* The box takes a 0x16 this soon after its ready byte for a beacon still on the way. */
enum { SETTLE_MS = 150, BEACON_MS = 10, GIVE_UP_MS = 60000 };

static int fd = -1;

static void die(const char* what) {
    fprintf(stderr, "leanpeer: %s: %s\n", what, strerror(errno));
    exit(1);
}

static void put_all(const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            die("write");
        }
        p += w;
        n -= (size_t)w;
    }
}

static void put(uint8_t b) {
    put_all(&b, 1);
}

/* One byte, waiting at most `ms` (-1: GIVE_UP_MS); -1 when none came. */
static int get(int ms) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, ms < 0 ? GIVE_UP_MS : ms);
    if (r < 0)
        die("poll");
    if (r == 0) {
        if (ms < 0) {
            errno = ETIMEDOUT;
            die("no answer from the box");
        }
        return -1;
    }
    uint8_t b;
    ssize_t n = read(fd, &b, 1);
    if (n <= 0)
        die("read");
    return b;
}

static void get_all(uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0) {
            if (r < 0 && errno == EINTR)
                continue;
            die("read");
        }
        p += r;
        n -= (size_t)r;
    }
}

static void put_u32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

static uint32_t get_u32(const uint8_t* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static uint32_t sum(const uint8_t* p, size_t n, uint32_t s) {
    while (n-- > 0) s += *p++;
    return s;
}

/* The box's next answer to a frame: 0x06 or 0x15; anything else it says is skipped. */
static int answer(void) {
    for (;;) {
        int b = get(-1);
        if (b == ACK || b == NAK)
            return b;
    }
}

static void send_until_acked(const uint8_t* frame, size_t n) {
    do {
        put_all(frame, n);
    } while (answer() == NAK);
}

static uint8_t* read_file(const char* path, size_t* size) {
    FILE* f = fopen(path, "rb");
    if (!f)
        die(path);
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    uint8_t* data = calloc((size_t)n + 2, 1);
    if (!data || fread(data, 1, (size_t)n, f) != (size_t)n)
        die(path);
    fclose(f);
    *size = (size_t)n;
    return data;
}

static int download(const char* path) {
    size_t size;
    uint8_t* image = read_file(path, &size);
    size += size & 1;

    for (;;) {
        put(SYN);
        if (get(BEACON_MS) == READY)
            break;
    }
    struct timespec settle = {0, SETTLE_MS * 1000000L};
    nanosleep(&settle, NULL);
    tcflush(fd, TCIFLUSH);
    put(SYN);
    while (get(-1) != ACK) {
    }

    uint8_t frame[FRAME_MAX];
    frame[0] = MARK;
    frame[1] = 0xF1;
    put_u32(frame + 2, 28);
    const uint32_t words[7] = {0x1000, 0, (uint32_t)size, sum(image, size, 0), 0, 0x80010000, 0};
    for (int i = 0; i < 7; ++i) put_u32(frame + 6 + 4 * i, words[i]);
    put_u32(frame + 34, sum(frame + 1, 33, 0));
    send_until_acked(frame, 38);

    size_t done = 0;
    for (;;) {
        size_t rest = size - done;
        size_t n = rest > MAX_PAYLOAD ? MAX_PAYLOAD : rest;
        frame[1] = rest > MAX_PAYLOAD ? 0xF2 : 0xF3;
        put_u32(frame + 2, (uint32_t)n);
        memcpy(frame + 6, image + done, n);
        put_u32(frame + 6 + n, sum(frame + 1, 5 + n, 0));
        send_until_acked(frame, n + 10);
        done += n;
        if (frame[1] == 0xF3)
            break;
    }
    free(image);
    return answer() == ACK ? 0 : 1;
}

/* Reads one frame from its type byte on into `frame`; its payload length, or -1 when the
 * checksum fails. Bytes before a type byte in `types` are skipped. */
static long take_frame(uint8_t* frame, const char* types) {
    int b;
    do {
        b = get(-1);
    } while (strchr(types, b) == NULL || b == 0);
    frame[0] = (uint8_t)b;
    get_all(frame + 1, 4);
    uint32_t n = get_u32(frame + 1);
    if (n > MAX_PAYLOAD)
        n = MAX_PAYLOAD;
    get_all(frame + 5, n + 4);
    return get_u32(frame + 5 + n) == sum(frame, 5 + n, 0) && n > 0 ? (long)n : -1;
}

static int receive(const char* path) {
    while (get(-1) != SYN) {
    }
    for (int beacon = 0x80; beacon <= 0x82; ++beacon) {
        int b;
        do {
            put((uint8_t)beacon);
            while ((b = get(50)) == SYN) {
            }
        } while (b != ACK);
    }
    put(ACK);

    uint8_t frame[FRAME_MAX];
    uint32_t length, checksum;
    for (;;) {
        long n = take_frame(frame, "\xF1");
        if (n >= 28) {
            length = get_u32(frame + 5 + 8);
            checksum = get_u32(frame + 5 + 12);
            put(ACK);
            break;
        }
        put(NAK);
    }

    uint8_t* image = malloc((size_t)length + MAX_PAYLOAD);
    if (!image)
        die("memory");
    size_t got = 0;
    for (;;) {
        long n = take_frame(frame, "\xF2\xF3");
        if (n < 0) {
            put(NAK);
            continue;
        }
        if (got + (size_t)n <= (size_t)length + MAX_PAYLOAD)
            memcpy(image + got, frame + 5, (size_t)n);
        got += (size_t)n;
        if (frame[0] == 0xF2) {
            put(ACK);
            continue;
        }
        int whole = got >= length && sum(image, length, 0) == checksum;
        put(whole ? ACK : NAK);
        if (!whole)
            return 1;
        break;
    }
    for (size_t i = 0; i + 1 < length; i += 2) {
        uint8_t t = image[i];
        image[i] = image[i + 1];
        image[i + 1] = t;
    }
    FILE* out = fopen(path, "wb");
    if (!out || fwrite(image, 1, length, out) != length || fclose(out) != 0)
        die(path);
    free(image);
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 4 || (strcmp(argv[1], "download") != 0 && strcmp(argv[1], "receive") != 0)) {
        fprintf(stderr, "usage: leanpeer download DEVICE IMAGE | leanpeer receive DEVICE OUT\n");
        return 2;
    }
    fd = open(argv[2], O_RDWR | O_NOCTTY);
    if (fd < 0)
        die(argv[2]);
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        cfsetspeed(&t, B115200);
        tcsetattr(fd, TCSANOW, &t);
    }
    int status = strcmp(argv[1], "download") == 0 ? download(argv[3]) : receive(argv[3]);
    /* The last answer must leave before the line closes. */
    tcdrain(fd);
    close(fd);
    return status;
}
