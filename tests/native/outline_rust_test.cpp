#include <gtest/gtest.h>

#include "outline_test_support.h"

namespace brightloom::testing {
namespace {

constexpr std::string_view STORAGE_RS = R"rs(
//! Storage primitives.
use std::fmt;

pub mod store {
    pub struct Inner;
    pub fn helper() {}
}

mod tests;

#[derive(Debug, Clone)]
pub struct Stack<T> {
    items: Vec<T>,
}

pub struct Unit;

pub enum Op {
    Push(i32),
    Pop,
}

pub trait Shape {
    fn area(&self) -> f64;
    fn name(&self) -> String {
        String::from("shape")
    }
    const SIDES: u32;
}

impl<T: Clone> Stack<T> {
    pub fn new() -> Self {
        Stack { items: Vec::new() }
    }

    pub async fn push(&mut self, item: T) {
        self.items.push(item);
    }

    const LIMIT: usize = 8;
}

impl fmt::Display for Op {
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        write!(f, "op")
    }
}

impl<'a> Iterator for Walker<'a> { type Item = &'a str; fn next(&mut self) -> Option<Self::Item> { None } }

extern "C" {
    fn abs(x: i32) -> i32;
}

pub(crate) unsafe fn raw() {}

fn main() {
    fn inner() {}
    let s: Stack<i32> = Stack::new();
}

macro_rules! square {
    ($x:expr) => { $x * $x };
}

type Alias = Vec<u8>;
)rs";

TEST(OutlineRust, ListsItemsAndTheMembersOfImplsAndTraits) {
    // An impl is named by its implemented type, generics included. In a
    // trait a bodiless fn stays "fn" and one with a default body is a
    // "method". Items inside a mod body, extern blocks, macros and type
    // aliases are not listed.
    const std::vector<SymbolRow> expected{
        {"mod", "store", 5, 8, 0, "pub mod store {"},
        {"mod", "tests", 10, 10, 0, "mod tests;"},
        {"struct", "Stack", 13, 15, 0, "pub struct Stack<T> {"},
        {"struct", "Unit", 17, 17, 0, "pub struct Unit;"},
        {"enum", "Op", 19, 22, 0, "pub enum Op {"},
        {"trait", "Shape", 24, 30, 0, "pub trait Shape {"},
        {"fn", "area", 25, 25, 1, "fn area(&self) -> f64;"},
        {"method", "name", 26, 28, 1, "fn name(&self) -> String {"},
        {"impl", "Stack<T>", 32, 42, 0, "impl<T: Clone> Stack<T> {"},
        {"method", "new", 33, 35, 1, "pub fn new() -> Self {"},
        {"method", "push", 37, 39, 1, "pub async fn push(&mut self, item: T) {"},
        {"impl", "Op", 44, 48, 0, "impl fmt::Display for Op {"},
        {"method", "fmt", 45, 47, 1, "fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {"},
        {"impl", "Walker<'a>", 50, 50, 0,
         "impl<'a> Iterator for Walker<'a> { type Item = &'a str; fn next(&mut self) -> "
         "Option<Self::Item> { None } }"},
        {"method", "next", 50, 50, 1, "fn next(&mut self) -> Option<Self::Item> { None }"},
        {"fn", "raw", 56, 56, 0, "pub(crate) unsafe fn raw() {}"},
        {"fn", "main", 58, 61, 0, "fn main() {"},
    };
    EXPECT_EQ(outline_rows(STORAGE_RS, "rust"), expected);
}

TEST(OutlineRust, ChildrenOfAnErrorRootAreStillExamined) {
    // An unclosed parameter list turns the whole file into one error node;
    // it is the root, so its direct children are still listed.
    const std::vector<SymbolRow> expected{
        {"fn", "before", 1, 1, 0, "fn before() {}"},
        {"struct", "After", 5, 5, 0, "struct After;"},
    };
    EXPECT_EQ(outline_rows("fn before() {}\n\nfn broken( {\n\nstruct After;\n", "rust"), expected);
}

}  // namespace
}  // namespace brightloom::testing
