// Writes a manual page (man(7) with tbl tables) from a page source in the
// same plain Markdown as the README, so that the pages and the README say
// the same thing from one text.
//
//   make_man_page OUT PAGE.md README.md VERSION
//
// The page source starts with "# NAME SECTION". A line "@README Title@"
// brings in the README's section "## Title" up to the next "## " heading;
// its "### " headings become subsections, and a subsection named in
// "@README Title -Sub@" is left out.
//
// The Markdown understood is what these texts use: "##" and "###"
// headings, paragraphs, "- " lists with indented continuation lines,
// four-space code blocks, pipe tables, and `code` and **bold** spans.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

bool ReadLines(const char* path, Lines& lines) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string Trim(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

// Escapes roff's own characters; for text that is not formatted further.
std::string Escape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else {
      out += c;
    }
  }
  return out;
}

// Inline spans: `code` and **bold** both set in bold, as manual pages set
// literal text.
std::string Inline(std::string_view text) {
  std::string out;
  bool bold = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '`') {
      const auto end = text.find('`', i + 1);
      if (end != std::string_view::npos) {
        out += "\\fB" + Escape(text.substr(i + 1, end - i - 1)) + (bold ? "" : "\\fR");
        i = end;
        continue;
      }
    }
    if (text.substr(i, 2) == "**") {
      bold = !bold;
      out += bold ? "\\fB" : "\\fR";
      ++i;
      continue;
    }
    out += text[i] == '\\' ? std::string("\\e") : std::string(1, text[i]);
  }
  if (bold) out += "\\fR";
  return out;
}

// A text line as roff input: no line may start with a control character.
std::string TextLine(std::string_view text) {
  std::string line = Inline(Trim(text));
  if (!line.empty() && (line[0] == '.' || line[0] == '\'')) line.insert(0, "\\&");
  return line;
}

std::string HeadingText(std::string_view text) {
  std::string out;
  for (const char c : Trim(text)) {
    if (c == '`' || c == '*') continue;
    out += c == '"' ? '\'' : c;
  }
  return out;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::vector<std::string> TableCells(std::string_view row) {
  std::vector<std::string> cells;
  std::string cell;
  const std::string trimmed = Trim(row);
  std::string_view inner = trimmed;
  if (StartsWith(inner, "|")) inner.remove_prefix(1);
  if (!inner.empty() && inner.back() == '|') inner.remove_suffix(1);
  bool in_code = false;
  for (const char c : inner) {
    if (c == '`') in_code = !in_code;
    if (c == '|' && !in_code) {
      cells.push_back(Trim(cell));
      cell.clear();
    } else {
      cell += c;
    }
  }
  cells.push_back(Trim(cell));
  return cells;
}

class PageWriter {
 public:
  explicit PageWriter(std::ostream& out) : out_(out) {}

  // Converts `lines`, where "##" headings are sections.
  void Convert(const Lines& lines, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const std::string& line = lines[i];
      if (Trim(line).empty()) {
        EndBlock();
        continue;
      }
      if (StartsWith(line, "### ")) {
        EndBlock();
        out_ << ".SS \"" << HeadingText(line.substr(4)) << "\"\n";
        fresh_ = true;
        continue;
      }
      if (StartsWith(line, "## ")) {
        EndBlock();
        out_ << ".SH \"" << Upper(HeadingText(line.substr(3))) << "\"\n";
        fresh_ = true;
        continue;
      }
      if (StartsWith(Trim(line), "|")) {
        EndBlock();
        std::size_t last = i;
        while (last < end && StartsWith(Trim(lines[last]), "|")) ++last;
        Table(lines, i, last);
        i = last - 1;
        continue;
      }
      if (StartsWith(line, "    ") && block_ == Block::kNone) {
        out_ << (fresh_ ? "" : ".PP\n") << ".RS 4\n.nf\n";
        while (i < end && (StartsWith(lines[i], "    ") || Trim(lines[i]).empty())) {
          if (Trim(lines[i]).empty()) {
            // A blank line ends the block unless more code follows.
            if (i + 1 < end && StartsWith(lines[i + 1], "    ")) {
              out_ << "\n";
              ++i;
              continue;
            }
            break;
          }
          std::string code = Escape(std::string_view(lines[i]).substr(4));
          if (!code.empty() && (code[0] == '.' || code[0] == '\'')) code.insert(0, "\\&");
          out_ << code << "\n";
          ++i;
        }
        out_ << ".fi\n.RE\n";
        fresh_ = false;
        --i;
        continue;
      }
      if (StartsWith(line, "- ")) {
        out_ << ".IP \\(bu 2\n" << TextLine(line.substr(2)) << "\n";
        block_ = Block::kList;
        fresh_ = false;
        continue;
      }
      if (block_ == Block::kNone) {
        out_ << (fresh_ ? "" : ".PP\n");
        block_ = Block::kParagraph;
      }
      out_ << TextLine(line) << "\n";
      fresh_ = false;
    }
    EndBlock();
  }

  void Title(std::string_view name, std::string_view section, std::string_view version) {
    out_ << "'\\\" t\n"
         << ".TH \"" << Upper(std::string(name)) << "\" \"" << section << "\" \"\" \"cnc64tools "
         << version << "\" \"User Commands\"\n";
    fresh_ = true;
  }

  void Section(std::string_view title) {
    EndBlock();
    out_ << ".SH \"" << Upper(HeadingText(title)) << "\"\n";
    fresh_ = true;
  }

 private:
  enum class Block { kNone, kParagraph, kList };

  void EndBlock() {
    if (block_ == Block::kList) out_ << ".PP\n", fresh_ = true;
    if (block_ == Block::kParagraph) fresh_ = false;
    block_ = Block::kNone;
  }

  void Table(const Lines& lines, std::size_t begin, std::size_t end) {
    std::vector<std::vector<std::string>> rows;
    for (std::size_t i = begin; i < end; ++i) {
      auto cells = TableCells(lines[i]);
      const bool rule = cells.size() > 0 && cells[0].find_first_not_of("-: ") == std::string::npos;
      if (!rule) rows.push_back(std::move(cells));
    }
    if (rows.empty()) return;
    const std::size_t columns = rows[0].size();
    // Cells are set ragged right: narrow columns cannot be justified.
    out_ << (fresh_ ? "" : ".PP\n") << ".na\n.TS\nallbox tab(\t);\n";
    for (std::size_t c = 0; c < columns; ++c) out_ << (c ? " " : "") << "lbx";
    out_ << "\n";
    for (std::size_t c = 0; c < columns; ++c) out_ << (c ? " " : "") << "lx";
    out_ << ".\n";
    for (const auto& row : rows) {
      for (std::size_t c = 0; c < columns; ++c) {
        out_ << (c ? "\t" : "") << "T{\n" << TextLine(c < row.size() ? row[c] : "") << "\nT}";
      }
      out_ << "\n";
    }
    out_ << ".TE\n.ad\n";
    fresh_ = false;
  }

  std::ostream& out_;
  Block block_ = Block::kNone;
  bool fresh_ = true;
};

// The README lines of section "## title": [begin, end), without its heading.
bool FindSection(const Lines& readme, std::string_view title, std::size_t& begin,
                 std::size_t& end) {
  for (std::size_t i = 0; i < readme.size(); ++i) {
    if (readme[i] == "## " + std::string(title)) {
      begin = i + 1;
      end = begin;
      while (end < readme.size() && !StartsWith(readme[end], "## ")) ++end;
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: make_man_page OUT PAGE.md README.md VERSION\n");
    return 2;
  }
  Lines page;
  Lines readme;
  if (!ReadLines(argv[2], page) || !ReadLines(argv[3], readme)) {
    std::fprintf(stderr, "make_man_page: cannot read %s or %s\n", argv[2], argv[3]);
    return 1;
  }
  if (page.empty() || !StartsWith(page[0], "# ")) {
    std::fprintf(stderr, "make_man_page: %s does not start with \"# NAME SECTION\"\n", argv[2]);
    return 1;
  }
  std::ostringstream text;
  PageWriter writer(text);
  {
    const std::string heading = page[0].substr(2);
    const auto blank = heading.find(' ');
    writer.Title(heading.substr(0, blank),
                 blank == std::string::npos ? "1" : heading.substr(blank + 1), argv[4]);
  }
  std::size_t from = 1;
  for (std::size_t i = 1; i <= page.size(); ++i) {
    if (i < page.size() && !(StartsWith(page[i], "@README ") && page[i].back() == '@')) continue;
    writer.Convert(page, from, i);
    from = i + 1;
    if (i == page.size()) break;
    std::string title = page[i].substr(8, page[i].size() - 9);
    std::string left_out;
    if (const auto cut = title.find(" -"); cut != std::string::npos) {
      left_out = "### " + title.substr(cut + 2);
      title.resize(cut);
    }
    std::size_t begin = 0;
    std::size_t end = 0;
    if (!FindSection(readme, title, begin, end)) {
      std::fprintf(stderr, "make_man_page: the README has no section \"## %s\"\n", title.c_str());
      return 1;
    }
    writer.Section(title);
    std::size_t part = begin;
    for (std::size_t j = begin; j <= end; ++j) {
      if (j < end && (left_out.empty() || readme[j] != left_out)) continue;
      writer.Convert(readme, part, j);
      if (j == end) break;
      // Skip the subsection that is left out, up to the next heading.
      ++j;
      while (j < end && !StartsWith(readme[j], "### ")) ++j;
      part = j;
      --j;
    }
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << text.str();
  if (!out) {
    std::fprintf(stderr, "make_man_page: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
