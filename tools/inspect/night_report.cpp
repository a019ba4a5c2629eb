#include "tools/inspect/night_report.h"

#include <algorithm>
#include <cstdio>

namespace kadrix::inspect {

namespace {

constexpr const char* kPageHead =
    "<!DOCTYPE html>\n"
    "<html lang=\"pl\">\n"
    "<head>\n"
    "<meta charset=\"utf-8\">\n"
    "<title>kadrix: raport nocy</title>\n"
    "<style>\n"
    "body { font-family: sans-serif; margin: 1.5em; color: #111; background: #fff; }\n"
    "table { border-collapse: collapse; margin: 0.5em 0; }\n"
    "th, td { border: 1px solid #bbb; padding: 0.2em 0.6em; }\n"
    "th { background: #eee; }\n"
    "td.n { text-align: right; font-variant-numeric: tabular-nums; }\n"
    "tr.blad td { background: #fdd; }\n"
    "p.blad { color: #a00; }\n"
    "img.podglad { image-rendering: pixelated; border: 1px solid #888; background: #000; }\n"
    "section { margin-top: 2em; }\n"
    "code { background: #f4f4f4; padding: 0 0.2em; }\n"
    "</style>\n"
    "</head>\n"
    "<body>\n"
    "<h1>Raport nocy kadrix</h1>\n";

std::string number(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string whole(std::int64_t value) { return std::to_string(value); }

std::string cell(const std::string& text) { return "<td class=\"n\">" + text + "</td>"; }

std::string anchor(std::size_t index) { return "obiekt-" + std::to_string(index + 1); }

void emit_summary(const NightReport& report, const TextSink& put) {
  put("<h2>Podsumowanie</h2>\n"
      "<table id=\"podsumowanie\">\n"
      "<thead><tr><th>nazwa</th><th>szerokosc</th><th>wysokosc</th><th>klatki</th><th>poziom</th>"
      "<th>sigma</th><th>wykryte piksele</th><th>zrodla</th><th>FWHM</th><th>stan</th></tr></thead>\n"
      "<tbody>\n");
  for (std::size_t i = 0; i < report.objects.size(); ++i) {
    const NightObject& o = report.objects[i];
    const bool ok = o.status == NightStatus::ok;
    std::string row = ok ? "<tr>" : "<tr class=\"blad\">";
    row += "<td><a href=\"#" + anchor(i) + "\">" + html_escape(o.name) + "</a></td>";
    if (ok) {
      row += cell(whole(o.width)) + cell(whole(o.height)) + cell(whole(o.stats.frame_count)) +
             cell(number("%f", static_cast<double>(o.stats.level))) +
             cell(number("%f", static_cast<double>(o.stats.sigma))) + cell(whole(o.detected)) +
             cell(whole(o.source_count)) + cell(o.fwhm ? fixed(*o.fwhm, 3) : "");
    } else {
      row += "<td></td><td></td><td></td><td></td><td></td><td></td><td></td><td></td>";
    }
    row += std::string("<td>") + status_word(o.status) + "</td></tr>\n";
    put(row);
  }
  put("</tbody>\n</table>\n");
}

void emit_sources(const NightObject& o, const TextSink& put) {
  if (o.brightest.empty()) {
    put("<p>Brak wykrytych zrodel.</p>\n");
    return;
  }
  put("<h3>Najjasniejsze zrodla (" + whole(static_cast<std::int64_t>(o.brightest.size())) + " z " +
      whole(o.source_count) + ")</h3>\n");
  put("<table class=\"zrodla\">\n"
      "<thead><tr><th>nr</th><th>x</th><th>y</th><th>piksele</th><th>szczyt</th><th>suma</th>"
      "<th>strumien</th><th>S/N</th><th>FWHM</th><th>flagi</th></tr></thead>\n"
      "<tbody>\n");
  for (std::size_t k = 0; k < o.brightest.size(); ++k) {
    const Source& s = o.brightest[k];
    put("<tr>" + cell(whole(static_cast<std::int64_t>(k + 1))) + cell(number("%.3f", s.x)) +
        cell(number("%.3f", s.y)) + cell(whole(s.pixels)) + cell(number("%f", steps_to_mean(s.peak_steps))) +
        cell(number("%f", steps_to_mean(s.sum_steps))) + cell(fixed(s.flux_iso, 6)) + cell(fixed(s.snr, 2)) +
        cell(fixed(s.fwhm, 3)) + cell(whole(s.flags)) + "</tr>\n");
  }
  put("</tbody>\n</table>\n");
}

void emit_object(const NightObject& o, std::size_t index, const TextSink& put) {
  const std::string name = html_escape(o.name);
  put("<section id=\"" + anchor(index) + "\">\n<h2>" + whole(static_cast<std::int64_t>(index + 1)) + ". " + name +
      "</h2>\n");
  if (o.status != NightStatus::ok) {
    // A pair that was read but whose sources SEP could not measure says so.
    const char* what = o.status == NightStatus::not_measured ? "Zrodla niezmierzone: " : "Para plikow nieodczytana: ";
    put(std::string("<p class=\"blad\">") + what + status_word(o.status) +
        (o.fault_path.empty() ? std::string() : " (<code>" + html_escape(o.fault_path) + "</code>)") + ".</p>\n");
    put("</section>\n");
    return;
  }
  put("<p>" + whole(o.width) + " x " + whole(o.height) + " pikseli, klatki: " + whole(o.stats.frame_count) +
      ", poziom: " + number("%f", static_cast<double>(o.stats.level)) +
      ", sigma: " + number("%f", static_cast<double>(o.stats.sigma)) + ", wykryte piksele: " + whole(o.detected) +
      ", zrodla: " + whole(o.source_count) + ", FWHM: " + (o.fwhm ? fixed(*o.fwhm, 3) + " px" : "brak") +
      "</p>\n");
  if (!o.preview_png.empty()) {
    // Small previews are shown enlarged, whole pixels kept sharp.
    const std::int32_t zoom = std::clamp<std::int32_t>(600 / std::max(o.preview_width, o.preview_height), 1, 4);
    put("<figure>\n<img class=\"podglad\" width=\"" + whole(std::int64_t{o.preview_width} * zoom) + "\" height=\"" +
        whole(std::int64_t{o.preview_height} * zoom) + "\" alt=\"Podglad obiektu " + name +
        "\" src=\"data:image/png;base64,");
    put(base64(o.preview_png));
    std::string caption = "Srednia w skali szarosci od 1. do 99,9. percentyla, zrodla w czerwonych okregach";
    if (o.preview_factor > 1) caption += ", pomniejszenie " + whole(o.preview_factor) + " razy";
    put("\">\n<figcaption>" + caption + ".</figcaption>\n</figure>\n");
  }
  emit_sources(o, put);
  put("</section>\n");
}

}  // namespace

std::string html_escape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string base64(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  if (i < bytes.size()) {
    const bool two = i + 1 < bytes.size();
    const std::uint32_t v = std::uint32_t{bytes[i]} << 16 | (two ? std::uint32_t{bytes[i + 1]} << 8 : 0);
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += two ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

void emit_night_page(const NightReport& report, const TextSink& put) {
  std::size_t read = 0;
  for (const NightObject& o : report.objects) read += o.status == NightStatus::ok ? 1 : 0;
  put(kPageHead);
  put("<p>Katalog: <code>" + html_escape(report.directory) + "</code><br>\nLista: <code>" +
      html_escape(report.list_path) + "</code><br>\nObiekty: " + whole(static_cast<std::int64_t>(report.objects.size())) +
      ", odczytane: " + whole(static_cast<std::int64_t>(read)) + "</p>\n");
  emit_summary(report, put);
  for (std::size_t i = 0; i < report.objects.size(); ++i) emit_object(report.objects[i], i, put);
  put("<footer>\n<p>Wspolrzedne zrodel: x od lewej kolumny, y od gornego wiersza, srodki pikseli w liczbach "
      "calkowitych (jak w CSV kadrix-inspect). Srednia piksela = SR + (SS &gt;&gt; 1) / 128.</p>\n"
      "<p>Strumien: suma sredniej po odjeciu tla (flux_iso), S/N: strumien przez jego blad z mapy RMS. FWHM "
      "obiektu: mediana FWHM zrodel o flagach 0 i S/N &gt; 20, gdy jest ich co najmniej 5. Flagi: 1 sasiad w "
      "aperturze, 2 rozdzielone, 4 nasycone, 8 brzeg obrazu, 16 apertura ucieta brzegiem, 32 wypelnione dziury, "
      "64 i 128 przepelnienie rozdzielania i wykrywania. Nasycenie znaczy szczyt sredniej od progu --saturate "
      "(domyslnie 254,5): gwiazda nasycona tylko w czesci klatek nie dostaje flagi 4.</p>\n<p>" +
      html_escape(report.creator) + "</p>\n</footer>\n</body>\n</html>\n");
}

bool write_night_page(const std::string& path, const NightReport& report) {
  return write_text_output(path, [&report](const TextSink& put) { emit_night_page(report, put); });
}

}  // namespace kadrix::inspect
