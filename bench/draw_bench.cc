// The draw's stages on a large photograph: a 3840x2400 JPEG, made here once
// per run (never committed), drawn fitted into 800x600. Each stage is timed on
// its own; the whole draw reports the process's peak memory as well.
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

uint8_t* copy_frame(const image& img, int channels) {
    uint8_t* frame = allocate_frame(img.width, img.height, channels);
    size_t pixels = static_cast<size_t>(img.width) * img.height;
    if (channels == img.channels) {
        memcpy(frame, img.frames[0], pixels * channels);
    } else {
        for (size_t k = 0; k < pixels; k++) memcpy(frame + k * channels, img.frames[0] + k * 3, 3);
    }
    return frame;
}

image working(const image& from, int channels) {
    image img;
    image_init(&img);
    img.width = from.width;
    img.height = from.height;
    img.channels = channels;
    img.has_alpha = channels == 4;
    return img;
}

void BM_Load(benchmark::State& state) {
    for (auto _ : state) {
        image img;
        image_init(&img);
        benchmark::DoNotOptimize(load_image(photo_path().c_str(), &img));
        image_free_frames(&img);
    }
}

void BM_Copy(benchmark::State& state) {
    const image& photo = loaded_photo();
    for (auto _ : state) {
        uint8_t* frame = copy_frame(photo, 3);
        benchmark::DoNotOptimize(frame);
        free(frame);
    }
    state.SetBytesProcessed(state.iterations() * photo.width * photo.height * 3);
}

void BM_Fit(benchmark::State& state) {
    const image& photo = loaded_photo();
    int channels = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        image img = working(photo, channels);
        uint8_t* frame = copy_frame(photo, channels);
        state.ResumeTiming();
        uint8_t* fitted = downscale_to_fit(&img, frame, BOX_WIDTH, BOX_HEIGHT);
        benchmark::DoNotOptimize(fitted);
        free(fitted);
    }
}

// The fitted photograph, 800x500, in the given layout.
image fitted_photo(int channels) {
    const image& photo = loaded_photo();
    image img = working(photo, channels);
    img.frames[0] = downscale_to_fit(&img, copy_frame(photo, channels), BOX_WIDTH, BOX_HEIGHT);
    return img;
}

void BM_Crop(benchmark::State& state) {
    term_geometry terminal = {-1, 1280, 1001, 8, 16};
    image fitted = fitted_photo(3);
    for (auto _ : state) {
        state.PauseTiming();
        image img = fitted;
        size_t bytes = static_cast<size_t>(img.width) * img.height * 3;
        uint8_t* frame = static_cast<uint8_t*>(malloc(bytes));
        memcpy(frame, fitted.frames[0], bytes);
        state.ResumeTiming();
        uint8_t* cropped =
            crop_image(&terminal, &img, frame, 40, 30, img.width - 80, img.height - 60);
        benchmark::DoNotOptimize(cropped);
        free(cropped);
    }
    image_free_frames(&fitted);
}

void BM_ConvertToRgb(benchmark::State& state) {
    image fitted = fitted_photo(4);
    size_t bytes = static_cast<size_t>(fitted.width) * fitted.height * 4;
    for (auto _ : state) {
        state.PauseTiming();
        uint8_t* frame = static_cast<uint8_t*>(malloc(bytes));
        memcpy(frame, fitted.frames[0], bytes);
        state.ResumeTiming();
        uint8_t* rgb = convert_to_rgb(&fitted, frame);
        benchmark::DoNotOptimize(rgb);
        free(rgb);
    }
    image_free_frames(&fitted);
}

// Encoding into a terminal that discards everything.
void BM_Emit(benchmark::State& state) {
    term_geometry terminal = {open("/dev/null", O_WRONLY), 1280, 1001, 8, 16};
    image fitted = fitted_photo(3);
    size_t bytes = static_cast<size_t>(fitted.width) * fitted.height * 3;
    for (auto _ : state) {
        state.PauseTiming();
        image img = fitted;
        img.frames[0] = static_cast<uint8_t*>(malloc(bytes));
        memcpy(img.frames[0], fitted.frames[0], bytes);
        state.ResumeTiming();
        benchmark::DoNotOptimize(sixel_emit(&terminal, &img));
        free(img.frames[0]);
    }
    image_free_frames(&fitted);
    close(terminal.fd);
}

// A whole draw command on the loaded photograph, as the host sends it.
void BM_WholeDraw(benchmark::State& state) {
    static image_table table;
    for (auto& slot : table.slots) image_init(&slot);
    term_geometry terminal = {open("/dev/null", O_WRONLY), 1280, 1001, 8, 16};
    char load[512], draw[64];
    snprintf(load, sizeof load, "0;1;0;0;0;0;0;0;0;0;%s", photo_path().c_str());
    command_fields fields = {};
    FILE* replies = fopen("/dev/null", "w");
    handle_command_line(load, &fields, &terminal, &table, replies);
    for (auto _ : state) {
        snprintf(draw, sizeof draw, "1;1;0;0;%d;%d;0;0;0;0;", BOX_WIDTH, BOX_HEIGHT);
        table.slots[0].drawn = false;
        handle_command_line(draw, &fields, &terminal, &table, replies);
    }
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    for (auto& slot : table.slots) image_free_frames(&slot);
    fclose(replies);
    close(terminal.fd);
}

}  // namespace

BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Copy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fit)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertToRgb)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Emit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeDraw)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(photo_path().c_str());
    return 0;
}
