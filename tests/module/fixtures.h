// Settings and books shared by the module tests.
#pragma once

namespace velarin::moduletest {

// Test settings: the worked-example fields and the odd cases around them.
constexpr const char* kTestSettings = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- test settings -->
<settings>
  <positions>1|2|3</positions>
  <fields>
    <f><name>Title</name><xpath>description/title-info/book-title</xpath></f>
    <f><name>Author</name><xpath>description/title-info/*author/last-name</xpath></f>
    <f><name>Authors</name><xpath>description/title-info/author</xpath><template>[first-name] [last-name]</template><div>, </div></f>
    <f><name>Series</name><xpath>description/title-info/*sequence/@name</xpath></f>
    <f><name>Size</name><special>1</special></f>
    <f><name>Encoding</name><special>2</special></f>
    <f><name>Genres</name><xpath>description/title-info/genre</xpath><template>[]</template></f>
    <f><name>AuthorNode</name><xpath>description/title-info/*genre</xpath></f>
    <f><name>AnnotationNode</name><xpath>description/title-info/annotation</xpath></f>
    <f><name>OddSpecial</name><xpath>description/title-info/*author/last-name</xpath><special>x</special></f>
    <f><name>Dotted</name><xpath>description/title-info/author</xpath><template>[first-name] [last-name].</template></f>
    <f><name>Unclosed</name><xpath>description/title-info/author</xpath><template>&lt;[first-name</template><div>|</div></f>
    <f><name>AttrMiddle</name><xpath>description/title-info/sequence/@name/x</xpath></f>
    <f><name>Trailing</name><xpath>description/title-info/book-title/</xpath></f>
    <f><name>SizeWithPath</name><xpath>description/title-info/book-title</xpath><special>1</special></f>
    <f><name>FirstSeries</name><xpath>description/title-info/sequence/@name</xpath></f>
    <f><name>Top</name></f>
    <f><name>Missing</name><xpath>description/title-info/no-such</xpath></f>
    <f><name>Literal</name><xpath>description/title-info/author</xpath><template>by [nothing-here] [last-name]!</template><div>; </div></f>
    <f><name>Middle</name><xpath>description/title-info/*author/middle-name</xpath></f>
    <f><name>TwoSpecials</name><special>2</special><xpath>description/title-info/lang</xpath><special>1</special></f>
  </fields>
</settings>
)";

enum TestField : int {
  tTitle = 0, tAuthor, tAuthors, tSeries, tSize, tEncoding, tGenres, tGenre, tAnnotationNode, tOddSpecial,
  tDotted, tUnclosed, tAttrMiddle, tTrailing, tSizeWithPath, tFirstSeries, tTop, tMissing, tLiteral, tMiddle,
  tTwoSpecials, kTestFieldCount
};

// A small book: two authors, two genres, two sequences, an annotation, a body
// whose paragraphs count 5 + 7 characters plus a mixed paragraph counting 3.
constexpr const char* kBook = R"(<?xml version="1.0" encoding="UTF-8"?>
<FictionBook xmlns="http://www.gribuser.ru/xml/fictionbook/2.0" xmlns:l="http://www.w3.org/1999/xlink">
<description>
<title-info>
<genre>sf</genre>
<genre>humor</genre>
<author><first-name>Anna</first-name><middle-name>M</middle-name><last-name>Berg</last-name></author>
<author><first-name>Олег</first-name><last-name>Сом</last-name></author>
<book-title>Ледяной маяк</book-title>
<annotation><p>One.</p><p>Two.</p></annotation>
<lang>ru</lang>
<sequence name="Saga" number="2"/>
<sequence name="Cycle" number="5"/>
</title-info>
</description>
<body>
<section><p>Hello</p><p>Goodbye</p><p>before <emphasis>mid</emphasis> after</p></section>
</body>
</FictionBook>
)";
constexpr int kBookBodyCount = 15;

}  // namespace velarin::moduletest
