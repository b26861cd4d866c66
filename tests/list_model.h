// The list's rules on whole strings, written as plainly as possible, to check the tool against.
#ifndef LIST_MODEL_H
#define LIST_MODEL_H

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "print_list.h"

// nullopt stands for a list file that does not exist.
using list_bytes = std::optional<std::string>;

inline std::vector<std::string> split_lines(const std::string &bytes)
{
	std::vector<std::string> lines;
	size_t start = 0;
	for (size_t nl; (nl = bytes.find('\n', start)) != std::string::npos; start = nl + 1)
		lines.push_back(bytes.substr(start, nl - start));
	if (start < bytes.size())
		lines.push_back(bytes.substr(start));
	return lines;
}

inline list_bytes model_change(const list_bytes &before, const std::string &name, int mode)
{
	if (name.find('\n') != std::string::npos)
		return before;
	std::vector<std::string> lines = split_lines(before.value_or(""));
	bool listed = std::find(lines.begin(), lines.end(), name) != lines.end();
	if (mode == LIST_ADD ? listed : !listed)
		return before;
	if (mode == LIST_ADD)
		lines.push_back(name);
	else
		lines.erase(std::remove(lines.begin(), lines.end(), name), lines.end());
	if (lines.empty())
		return std::nullopt;
	std::string after;
	for (const std::string &line : lines)
		after += line + '\n';
	return after;
}

inline list_bytes read_list_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	if (!in)
		return std::nullopt;
	std::ostringstream bytes;
	bytes << in.rdbuf();
	return bytes.str();
}

inline void write_list_file(const std::string &path, const list_bytes &bytes)
{
	unlink(path.c_str());
	if (bytes)
		std::ofstream(path, std::ios::binary) << *bytes;
}

#endif
