// The draw's stages on a large photograph: a 3840x2400 JPEG, made here once
// per run (never committed), drawn fitted into 800x600. Each stage is timed on
// its own; the draw commands report the process's peak memory as well.
// bench/compare.sh times whole processes against other programs.
//
//   build/bench/draw_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

// jpeglib.h needs FILE and size_t declared before it.
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <string>
#include <vector>

#include "render/render.h"

namespace {

const program_options NO_OPTIONS = {};

constexpr int PHOTO_WIDTH = 3840;
constexpr int PHOTO_HEIGHT = 2400;
constexpr int BOX_WIDTH = 800;
constexpr int BOX_HEIGHT = 600;

// Smooth shapes with fine noise, so the JPEG and the palette work as hard as
// on a photograph.
const std::string& photo_path() {
    static std::string path;
    if (!path.empty()) return path;
    path = "/tmp/vorpix-bench-photo-" + std::to_string(getpid()) + ".jpg";
    FILE* file = fopen(path.c_str(), "wb");
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = PHOTO_WIDTH;
    cinfo.image_height = PHOTO_HEIGHT;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row(PHOTO_WIDTH * 3);
    uint32_t noise = 12345;
    while (cinfo.next_scanline < cinfo.image_height) {
        int y = static_cast<int>(cinfo.next_scanline);
        for (int x = 0; x < PHOTO_WIDTH; x++) {
            noise = noise * 1664525u + 1013904223u;
            int n = static_cast<int>(noise >> 28) - 8;
            double wave = sin(x / 170.0) * cos(y / 130.0);
            row[x * 3] = static_cast<uint8_t>(std::clamp(120 + 100 * wave + n, 0.0, 255.0));
            row[x * 3 + 1] =
                static_cast<uint8_t>(std::clamp(x * 255.0 / PHOTO_WIDTH + n, 0.0, 255.0));
            row[x * 3 + 2] =
                static_cast<uint8_t>(std::clamp(y * 255.0 / PHOTO_HEIGHT - n, 0.0, 255.0));
        }
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    fclose(file);
    return path;
}

// The photograph, loaded once and kept for the stages that start from it.
const image& loaded_photo() {
    static image photo;
    static bool ready = false;
    if (!ready) {
        image_init(&photo);
        load_image(photo_path().c_str(), &photo);
        ready = true;
    }
    return photo;
}

// The photograph's frame in the given layout (3 or 4 bytes a pixel), made once.
const uint8_t* photo_frame(int channels) {
    static uint8_t* rgba = nullptr;
    const image& photo = loaded_photo();
    if (channels == 3) return photo.frame;
    if (!rgba) {
        size_t pixels = static_cast<size_t>(photo.width) * photo.height;
        rgba = allocate_frame(photo.width, photo.height, 4);
        for (size_t k = 0; k < pixels; k++) memcpy(rgba + k * 4, photo.frame + k * 3, 3);
    }
    return rgba;
}

void BM_Load(benchmark::State& state) {
    for (auto _ : state) {
        image img;
        image_init(&img);
        benchmark::DoNotOptimize(load_image(photo_path().c_str(), &img));
        image_free_frames(&img);
    }
}

void BM_Fit(benchmark::State& state) {
    const image& photo = loaded_photo();
    int channels = static_cast<int>(state.range(0));
    const uint8_t* frame = photo_frame(channels);
    for (auto _ : state) {
        int32_t width = photo.width, height = photo.height;
        uint8_t* fitted = downscale_to_fit(frame, &width, &height, channels, BOX_WIDTH, BOX_HEIGHT);
        benchmark::DoNotOptimize(fitted);
        free(fitted);
    }
    state.SetBytesProcessed(state.iterations() * photo.width * photo.height * channels);
}

// The fitted photograph, 800x500 R,G,B.
struct fitted_photo {
    int32_t width, height;
    uint8_t* pixels;
};

fitted_photo fit_photo() {
    const image& photo = loaded_photo();
    fitted_photo f = {photo.width, photo.height, nullptr};
    f.pixels = downscale_to_fit(photo.frame, &f.width, &f.height, 3, BOX_WIDTH, BOX_HEIGHT);
    return f;
}

void BM_Window(benchmark::State& state) {
    term_geometry terminal = {-1, 1280, 1001, 8, 16, false};
    fitted_photo f = fit_photo();
    for (auto _ : state) {
        uint8_t* rgb = window_to_rgb(&terminal, f.pixels, f.width, f.height, 3, 40, 30,
                                     f.width - 80, f.height - 60);
        benchmark::DoNotOptimize(rgb);
        free(rgb);
    }
    free(f.pixels);
}

// Encoding into a terminal that discards everything.
void BM_Emit(benchmark::State& state) {
    term_geometry terminal = {open("/dev/null", O_WRONLY), 1280, 1001, 8, 16, false};
    fitted_photo f = fit_photo();
    size_t bytes = static_cast<size_t>(f.width) * f.height * 3;
    uint8_t* rgb = static_cast<uint8_t*>(malloc(bytes));
    for (auto _ : state) {
        state.PauseTiming();
        memcpy(rgb, f.pixels, bytes);  // the encoder writes into its input
        state.ResumeTiming();
        sixel_sink sink = make_sixel_sink(&terminal, true, SIZE_MAX);
        benchmark::DoNotOptimize(sixel_emit(&sink, rgb, f.width, f.height));
        free(sink.data);
    }
    free(rgb);
    free(f.pixels);
    close(terminal.fd);
}

// Draw commands on the loaded photograph, as the host sends them: the first
// draw of a box (nothing kept from earlier draws), the same draw again after
// a command 6, and each time another window of the same box.
void BM_Draw(benchmark::State& state) {
    static image_table table;
    static draw_cache cache;
    for (auto& slot : table.slots) image_init(&slot);
    cache.limit = DRAW_CACHE_BYTES;
    term_geometry terminal = {open("/dev/null", O_WRONLY), 1280, 1001, 8, 16, false};
    char load[512], draw[64];
    snprintf(load, sizeof load, "0;1;0;0;0;0;0;0;0;0;%s", photo_path().c_str());
    command_fields fields = {};
    FILE* replies = fopen("/dev/null", "w");
    handle_command_line(load, &fields, &terminal, &table, &cache, &NO_OPTIONS, replies);
    image* slot = &table.slots[0];
    int64_t kind = state.range(0);
    int sy = 0;
    for (auto _ : state) {
        if (kind == 0) {
            state.PauseTiming();
            image_reset(slot);  // drops what the draw keeps along with the picture
            load_image(photo_path().c_str(), slot);
            state.ResumeTiming();
        }
        if (kind == 2) sy = (sy + 7) % 200;
        snprintf(draw, sizeof draw, "1;1;0;0;%d;%d;0;%d;%d;300;", BOX_WIDTH, BOX_HEIGHT, sy,
                 BOX_WIDTH);
        slot->drawn = false;
        handle_command_line(draw, &fields, &terminal, &table, &cache, &NO_OPTIONS, replies);
    }
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    for (auto& s : table.slots) image_free_frames(&s);
    fclose(replies);
    close(terminal.fd);
}

}  // namespace

BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fit)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Window)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Emit)->Unit(benchmark::kMillisecond);
// 0: a first draw; 1: the same draw again; 2: another window of the same box.
BENCHMARK(BM_Draw)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(photo_path().c_str());
    return 0;
}
