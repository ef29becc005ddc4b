/* plain_conv: the work of each converter and of kvxdump done the plain way,
 * with fscanf to read, printf to print and fwrite to write: the reference
 * the benchmarks compare the programs with. It writes the same files and
 * prints the same text as the programs on well-formed input (the normals
 * with the same arithmetic, docs/format.md), so bench/run.py also uses it
 * to check their results; it checks its own input only enough not to
 * misbehave.
 *
 *   plain_conv <kvxconv1|kvxconv2|kvxconv3|kvxconv4|kvxpoints|kvxwire> <input.cmsh> <output.kvx>
 *   plain_conv kvxdump <file.kvx>
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kV1 = 1, kV2 = 2, kV3 = 3, kV4 = 4, kPoints = -1, kWire = -2 };

typedef struct {
    uint32_t color;
    float x, y, z;
} Record1;

typedef struct {
    uint32_t color;
    float nx, ny, nz, x, y, z;
} Record3;

typedef struct {
    float u, v;
    uint32_t color;
    float nx, ny, nz, x, y, z;
} Record4;

static int Fail(const char* what) {
    fprintf(stderr, "plain_conv: %s\n", what);
    return 1;
}

static void* Allocate(uint64_t count, size_t size) {
    if (count > (1u << 30) / size) return NULL;
    return malloc((size_t)count * size + 1);
}

/* Each value times 255, truncated toward zero, then c1 << 24 | c2 << 16 |
 * c3 << 8 | c4 as 32-bit two's-complement patterns. */
static int PackColor(const float c[4], uint32_t* word) {
    uint32_t w = 0;
    for (int k = 0; k < 4; ++k) {
        double product = (double)c[k] * 255.0;
        if (!(product > -2147483649.0 && product < 2147483648.0)) return 0;
        w |= (uint32_t)(int32_t)product << (24 - 8 * k);
    }
    *word = w;
    return 1;
}

static void PrintCounts(uint32_t vertices, uint32_t faces, int version) {
    printf("vertexCount = %u\nfaceCount = %u\nversion = %d\n", vertices, faces, version);
}

static void PrintRecord1(const Record1* r) {
    printf("0x%X %f %f %f\n", r->color, (double)r->x, (double)r->y, (double)r->z);
}

static void PrintTriangles(const uint16_t* indices, uint32_t count) {
    for (uint32_t k = 0; k < count; ++k) {
        const uint16_t* t = indices + 3 * (size_t)k;
        printf("%u %u %u\n", t[0], t[1], t[2]);
    }
}

/* 3 * count indices, each kept to its low 16 bits; with `limit`, each must
 * be below it. */
static int ReadTriangles(FILE* in, uint32_t count, uint32_t limit, uint16_t* indices) {
    for (uint64_t k = 0; k < 3 * (uint64_t)count; ++k) {
        unsigned int v;
        if (fscanf(in, "%u", &v) != 1 || (limit != 0 && v >= limit)) return 0;
        indices[k] = (uint16_t)v;
    }
    return 1;
}

/* The normal arithmetic of docs/format.md: differences in float, cross
 * products and sums of squares in long double, the length rounded to
 * float. */
static void Normalize(float* x, float* y, float* z) {
    long double sum = ((long double)*x * *x + (long double)*y * *y) + (long double)*z * *z;
    float length = (float)sqrt((double)sum);
    if (length == 0.0f) {
        *x = *y = *z = 0.0f;
        return;
    }
    *x = *x / length;
    *y = *y / length;
    *z = *z / length;
}

/* Smooth vertex normals into `normals` (3 floats per vertex, zeroed) from
 * the positions (3 floats per vertex). */
static void SmoothNormals(const float* positions, const uint16_t* indices, uint32_t faces,
                          float* normals, uint32_t vertices) {
    for (uint32_t k = 0; k < faces; ++k) {
        const uint16_t* t = indices + 3 * (size_t)k;
        const float* p0 = positions + 3 * (size_t)t[0];
        const float* p1 = positions + 3 * (size_t)t[1];
        const float* p2 = positions + 3 * (size_t)t[2];
        float a[3], b[3], n[3];
        for (int c = 0; c < 3; ++c) {
            a[c] = p2[c] - p1[c];
            b[c] = p0[c] - p1[c];
        }
        n[0] = (float)((long double)a[1] * b[2] - (long double)a[2] * b[1]);
        n[1] = (float)((long double)a[2] * b[0] - (long double)a[0] * b[2]);
        n[2] = (float)((long double)a[0] * b[1] - (long double)a[1] * b[0]);
        Normalize(&n[0], &n[1], &n[2]);
        for (int corner = 0; corner < 3; ++corner) {
            float* sum = normals + 3 * (size_t)t[corner];
            for (int c = 0; c < 3; ++c)
                sum[c] = sum[c] + n[c];
        }
    }
    for (uint32_t i = 0; i < vertices; ++i) {
        float* n = normals + 3 * (size_t)i;
        Normalize(&n[0], &n[1], &n[2]);
    }
}

static int WriteFile(const char* path, uint32_t vertices, uint32_t faces, int32_t version,
                     const void* records, size_t recordSize, const uint16_t* indices,
                     size_t indexCount, const char* name) {
    FILE* out = fopen(path, "wb");
    if (out == NULL) return 0;
    int ok = fwrite("KVX", 1, 3, out) == 3 && fwrite(&vertices, 4, 1, out) == 1 &&
             fwrite(&faces, 4, 1, out) == 1 && fwrite(&version, 4, 1, out) == 1 &&
             fwrite(records, recordSize, vertices, out) == vertices &&
             fwrite(indices, 2, indexCount, out) == indexCount &&
             fwrite(name, 1, strlen(name), out) == strlen(name);
    return fclose(out) == 0 && ok;
}

/* Distinct undirected edges of the triangles, in the order and direction
 * of their first occurrence, into `lines` (2 indices each): an open
 * addressing table of the edges seen. */
static int DistinctEdges(const uint16_t* indices, uint32_t triangles, uint16_t* lines,
                         uint32_t* kept) {
    int bits = 4;
    while ((uint64_t)1 << bits < 6 * (uint64_t)triangles)
        ++bits;
    const uint64_t slots = (uint64_t)1 << bits;
    uint32_t* table = calloc(slots, sizeof *table);
    if (table == NULL) return 0;
    uint32_t n = 0;
    for (uint64_t e = 0; e < 3 * (uint64_t)triangles; ++e) {
        uint16_t a = indices[e], b = indices[e % 3 == 2 ? e - 2 : e + 1];
        uint32_t key = a < b ? (uint32_t)a << 16 | b : (uint32_t)b << 16 | a;
        uint64_t slot = (key * 0x9E3779B97F4A7C15u) >> (64 - bits);
        while (table[slot] != 0 && table[slot] != key + 1)
            slot = (slot + 1) & (slots - 1);
        if (table[slot] == 0) {
            table[slot] = key + 1;
            lines[2 * (size_t)n] = a;
            lines[2 * (size_t)n + 1] = b;
            ++n;
        }
    }
    free(table);
    *kept = n;
    return 1;
}

static int Convert(int version, int printing, const char* inputPath, const char* outputPath) {
    FILE* in = fopen(inputPath, "r");
    if (in == NULL) return Fail("cannot open the input");
    uint32_t vertices, faces;
    if (fscanf(in, "%u %u", &vertices, &faces) != 2) return Fail("bad counts");
    const int values = version == kV1 ? 3 : version == kV4 ? 9 : 7;
    const uint32_t written = version == kPoints ? vertices : faces;
    if (printing) PrintCounts(vertices, written, version);

    Record1* r1 = NULL;
    Record3* r3 = NULL;
    Record4* r4 = NULL;
    float* positions = NULL;
    if (version == kV3) r3 = Allocate(vertices, sizeof *r3);
    if (version == kV4) r4 = Allocate(vertices, sizeof *r4);
    if (version == kV3 || version == kV4) positions = Allocate(vertices, 3 * sizeof(float));
    if (version != kV3 && version != kV4) r1 = Allocate(vertices, sizeof *r1);
    uint16_t* indices = Allocate(faces, 6);
    if ((r1 == NULL && positions == NULL) || indices == NULL) return Fail("out of memory");

    for (uint32_t i = 0; i < vertices; ++i) {
        float v[9] = {0};
        float* c = v + (values == 3 ? 0 : values - 7); /* the colour values, if any */
        float* p = v + values - 3;                     /* x y z */
        int read = values == 3   ? fscanf(in, "%f %f %f", &v[0], &v[1], &v[2])
                   : values == 7 ? fscanf(in, "%f %f %f %f %f %f %f", &v[0], &v[1], &v[2], &v[3],
                                          &v[4], &v[5], &v[6])
                                 : fscanf(in, "%f %f %f %f %f %f %f %f %f", &v[0], &v[1], &v[2],
                                          &v[3], &v[4], &v[5], &v[6], &v[7], &v[8]);
        uint32_t color = 0xFFFF0000u;
        if (read != values || (values != 3 && !PackColor(c, &color))) return Fail("bad vertex");
        if (r1 != NULL) {
            r1[i] = (Record1){color, p[0], p[1], p[2]};
            if (printing) PrintRecord1(&r1[i]);
        } else {
            memcpy(positions + 3 * (size_t)i, p, 3 * sizeof(float));
            if (r3 != NULL) r3[i] = (Record3){color, 0, 0, 0, p[0], p[1], p[2]};
            if (r4 != NULL) r4[i] = (Record4){v[0], 1.0f - v[1], color, 0, 0, 0, p[0], p[1], p[2]};
        }
    }

    char name[256] = "";
    size_t indexCount = 0;
    const void* records = r1;
    size_t recordSize = sizeof *r1;
    uint32_t headerFaces = written;
    if (version == kV1 || version == kV2) {
        if (!ReadTriangles(in, faces, 0, indices)) return Fail("bad triangle");
        if (printing) PrintTriangles(indices, faces);
        indexCount = 3 * (size_t)faces;
    } else if (version == kV3 || version == kV4) {
        uint32_t limit = vertices < 65536 ? vertices : 65536;
        if (!ReadTriangles(in, faces, limit, indices)) return Fail("bad triangle");
        if (version == kV4) {
            if (fscanf(in, "%255s", name) != 1) name[0] = '\0';
            printf("|%s|", name);
        }
        float* normals = calloc((size_t)vertices * 3 + 1, sizeof(float));
        if (normals == NULL) return Fail("out of memory");
        SmoothNormals(positions, indices, faces, normals, vertices);
        for (uint32_t i = 0; i < vertices; ++i) {
            float* n = normals + 3 * (size_t)i;
            if (r3 != NULL) {
                r3[i].nx = n[0], r3[i].ny = n[1], r3[i].nz = n[2];
            } else {
                r4[i].nx = n[0], r4[i].ny = n[1], r4[i].nz = n[2];
            }
        }
        free(normals);
        records = r3 != NULL ? (const void*)r3 : (const void*)r4;
        recordSize = r3 != NULL ? sizeof *r3 : sizeof *r4;
        indexCount = 3 * (size_t)faces;
    } else if (version == kWire) {
        fputs("loading faces...\n", stdout);
        if (!ReadTriangles(in, faces, 0, indices)) return Fail("bad triangle");
        fputs("\t\t\tdone!\nreading lines...\n\t\t\tdone!\nOptimizing...\n", stdout);
        uint16_t* lines = Allocate(faces, 12);
        if (lines == NULL || !DistinctEdges(indices, faces, lines, &headerFaces)) {
            return Fail("out of memory");
        }
        fputs("\t\t\tdone!\nwrite optimized Wireframe to mesh...\n\t\t\tdone!\n", stdout);
        free(indices);
        indices = lines;
        indexCount = 2 * (size_t)headerFaces;
    }
    fclose(in);
    if (fflush(stdout) != 0) return Fail("standard output");
    if (!WriteFile(outputPath, vertices, headerFaces, version, records, recordSize, indices,
                   indexCount, name)) {
        return Fail("cannot write the output");
    }
    return 0;
}

static int Dump(const char* path) {
    FILE* in = fopen(path, "rb");
    if (in == NULL) return Fail("cannot open the file");
    char magic[3];
    uint32_t vertices, faces;
    int32_t version;
    if (fread(magic, 1, 3, in) != 3 || fread(&vertices, 4, 1, in) != 1 ||
        fread(&faces, 4, 1, in) != 1 || fread(&version, 4, 1, in) != 1) {
        return Fail("short header");
    }
    const size_t recordSize = version == kV3   ? sizeof(Record3)
                              : version == kV4 ? sizeof(Record4)
                                               : sizeof(Record1);
    const size_t group = version == kWire ? 2 : version == kPoints ? 0 : 3;
    if (version < kWire || version > kV4 || version == 0) return Fail("version not handled");
    void* records = Allocate(vertices, recordSize);
    uint16_t* indices = Allocate(faces, 2 * group + 1);
    char name[257] = "";
    if (records == NULL || indices == NULL) return Fail("out of memory");
    if (fread(records, recordSize, vertices, in) != vertices ||
        fread(indices, 2 * group, faces, in) != (group == 0 ? 0 : faces)) {
        return Fail("truncated");
    }
    if (version == kV4) name[fread(name, 1, 256, in)] = '\0';
    fclose(in);

    PrintCounts(vertices, faces, version);
    for (uint32_t i = 0; i < vertices; ++i) {
        if (version == kV3) {
            const Record3* r = (const Record3*)records + i;
            printf("%f %f %f 0x%X %f %f %f\n", (double)r->nx, (double)r->ny, (double)r->nz,
                   r->color, (double)r->x, (double)r->y, (double)r->z);
        } else if (version == kV4) {
            const Record4* r = (const Record4*)records + i;
            printf("%f %f %f %f %f 0x%X %f %f %f\n", (double)r->u, (double)r->v, (double)r->nx,
                   (double)r->ny, (double)r->nz, r->color, (double)r->x, (double)r->y,
                   (double)r->z);
        } else {
            PrintRecord1((const Record1*)records + i);
        }
    }
    if (group == 3) PrintTriangles(indices, faces);
    for (uint32_t k = 0; group == 2 && k < faces; ++k)
        printf("%u %u\n", indices[2 * (size_t)k], indices[2 * (size_t)k + 1]);
    if (version == kV4) printf("%s\n", name);
    return fflush(stdout) == 0 ? 0 : Fail("standard output");
}

int main(int argc, char** argv) {
    static const struct {
        const char* program;
        int version, printing;
    } kPrograms[] = {{"kvxconv1", kV1, 1}, {"kvxconv2", kV2, 1},      {"kvxconv3", kV3, 0},
                     {"kvxconv4", kV4, 0}, {"kvxpoints", kPoints, 1}, {"kvxwire", kWire, 0}};
    if (argc == 3 && strcmp(argv[1], "kvxdump") == 0) return Dump(argv[2]);
    for (size_t k = 0; argc == 4 && k < sizeof kPrograms / sizeof kPrograms[0]; ++k) {
        if (strcmp(argv[1], kPrograms[k].program) == 0) {
            return Convert(kPrograms[k].version, kPrograms[k].printing, argv[2], argv[3]);
        }
    }
    fputs(
        "usage: plain_conv <kvxconv1|kvxconv2|kvxconv3|kvxconv4|kvxpoints|kvxwire> "
        "<input.cmsh> <output.kvx>\n       plain_conv kvxdump <file.kvx>\n",
        stderr);
    return 2;
}
