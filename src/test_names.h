// Names parameterised test cases after their table rows.
#ifndef TEST_NAMES_H
#define TEST_NAMES_H

#include <cctype>
#include <string>

#include <gtest/gtest.h>

struct RowName {
	template <class Row>
	std::string operator()(const testing::TestParamInfo<Row> &row) const
	{
		std::string name;
		for (const char *p = row.param.name; *p != '\0'; p++)
			name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
		return name;
	}
};

// Shows a row by its name instead of its bytes in test listings.
#define PRINT_ROW_NAME(Row)                                                                        \
	inline void PrintTo(const Row &row, std::ostream *os)                                      \
	{                                                                                          \
		*os << row.name;                                                                   \
	}

#endif
