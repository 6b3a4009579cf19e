/* The floor for the "scan" command: what any program must do to digest the
 * same files. It walks the tree with the scan's pruned folder names and
 * extension filter, then on one thread per processor opens each listed file,
 * reads it, digests the raw bytes with SHA-256 and closes it. No UTF-8 check,
 * no line endings, no sorting, no reply.
 *
 *   scan_floor ROOT [EXTENSION...]     (default extensions: the scan's)
 *
 * Prints one JSON line: files, bytes, wall and processor seconds of the read
 * phase and of the whole run. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static const char* DEFAULT_EXTENSIONS[] = {"py", "rs", "ts", "tsx", "js", "go", "md", "toml", "yaml", "yml"};
static const char* PRUNED[] = {".git", ".venv", "dist", "node_modules", "target"};

static const char** extensions;
static int extension_count;

static char** paths;
static size_t path_count, path_capacity;

static void add_path(const char* path) {
    if (path_count == path_capacity) {
        path_capacity = path_capacity ? 2 * path_capacity : 1024;
        paths = realloc(paths, path_capacity * sizeof *paths);
        if (!paths) abort();
    }
    paths[path_count++] = strdup(path);
}

static int is_listed(const char* name) {
    const char* dot = strrchr(name, '.');
    if (!dot || dot == name) return 0;
    for (int i = 0; i < extension_count; ++i) {
        if (strcmp(dot + 1, extensions[i]) == 0) return 1;
    }
    return 0;
}

static int is_pruned(const char* name) {
    for (size_t i = 0; i < sizeof PRUNED / sizeof *PRUNED; ++i) {
        if (strcmp(name, PRUNED[i]) == 0) return 1;
    }
    return 0;
}

/* Recursion is fine here: the benchmark trees are a few levels deep. */
static void walk(const char* folder) {
    DIR* listing = opendir(folder);
    if (!listing) return;
    char path[4096];
    struct dirent* entry;
    while ((entry = readdir(listing)) != NULL) {
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        snprintf(path, sizeof path, "%s/%s", folder, name);
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat info;
            if (lstat(path, &info) != 0) continue;
            type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_LNK;
        }
        if (type == DT_DIR && !is_pruned(name)) walk(path);
        if (type == DT_REG && is_listed(name)) add_path(path);
    }
    closedir(listing);
}

static atomic_size_t next_path;
static atomic_ullong total_bytes;

static void* digest_files(void* unused) {
    (void)unused;
    enum { BUFFER = 128 * 1024 };
    char* buffer = malloc(BUFFER);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const EVP_MD* sha256 = EVP_MD_fetch(NULL, "SHA256", NULL);
    unsigned long long bytes = 0;
    for (;;) {
        const size_t index = atomic_fetch_add(&next_path, 1);
        if (index >= path_count) break;
        const int fd = open(paths[index], O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        EVP_DigestInit_ex(context, sha256, NULL);
        ssize_t n;
        while ((n = read(fd, buffer, BUFFER)) > 0) {
            EVP_DigestUpdate(context, buffer, (size_t)n);
            bytes += (unsigned long long)n;
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size;
        EVP_DigestFinal_ex(context, digest, &size);
        close(fd);
    }
    atomic_fetch_add(&total_bytes, bytes);
    EVP_MD_CTX_free(context);
    free(buffer);
    return NULL;
}

static double seconds(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s ROOT [EXTENSION...]\n", argv[0]);
        return 2;
    }
    extensions = argc > 2 ? (const char**)argv + 2 : DEFAULT_EXTENSIONS;
    extension_count = argc > 2 ? argc - 2 : (int)(sizeof DEFAULT_EXTENSIONS / sizeof *DEFAULT_EXTENSIONS);

    const double wall_start = seconds(CLOCK_MONOTONIC);
    const double cpu_start = seconds(CLOCK_PROCESS_CPUTIME_ID);
    walk(argv[1]);
    const double read_wall_start = seconds(CLOCK_MONOTONIC);
    const double read_cpu_start = seconds(CLOCK_PROCESS_CPUTIME_ID);

    cpu_set_t allowed;
    int workers = sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed) : 1;
    if (workers < 1) workers = 1;
    pthread_t threads[256];
    if (workers > 256) workers = 256;
    for (int i = 0; i < workers; ++i) pthread_create(&threads[i], NULL, digest_files, NULL);
    for (int i = 0; i < workers; ++i) pthread_join(threads[i], NULL);

    const double wall_end = seconds(CLOCK_MONOTONIC);
    const double cpu_end = seconds(CLOCK_PROCESS_CPUTIME_ID);
    printf("{\"files\": %zu, \"bytes\": %llu, \"workers\": %d, \"seconds\": %.6f, \"cpu_seconds\": %.6f, "
           "\"read_seconds\": %.6f, \"read_cpu_seconds\": %.6f}\n",
           path_count, (unsigned long long)atomic_load(&total_bytes), workers, wall_end - wall_start,
           cpu_end - cpu_start, wall_end - read_wall_start, cpu_end - read_cpu_start);
    for (size_t i = 0; i < path_count; ++i) free(paths[i]);
    free(paths);
    return 0;
}
